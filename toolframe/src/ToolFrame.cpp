#include "korv/vexatools/ToolFrame.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/loglevel.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <string>
#include <utility>
#include <vector>

#include "korv/vexalib/FindFile.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/VexaReceiver.hpp"
#include "tundra/log/TesselLogManager.hpp"

namespace korv::vexatools {
namespace po = boost::program_options;
namespace dt = korv::fnd::datatype;

namespace {

void LogError(const log4cplus::Logger& logger, const std::string& message) {
  VEXA_LOG_STREAM(logger, log4cplus::ERROR_LOG_LEVEL, message);
  ShowErrorIfLoggingHides(logger, message);
}

bool IsIpv4Address(const std::string& text) {
  boost::system::error_code error;
  boost::asio::ip::make_address_v4(text, error);
  return !error;
}

// The names of the data types an image can have, for error messages.
std::string SizedDataTypeNames() {
  std::string names;
  for (const auto& [name, value] : dt::kDataTypeNames) {
    if (dt::ElementSize(value) == 0) continue;
    if (!names.empty()) names += ", ";
    names += name;
  }
  return names;
}

}  // namespace

bool LoggingWouldShow(const log4cplus::Logger& logger, log4cplus::LogLevel level) {
  if (!logger.isEnabledFor(level)) return false;
  // Walk up the hierarchy as log4cplus does: stop after a non-additive logger.
  for (log4cplus::Logger current = logger;; current = current.getParent()) {
    if (!current.getAllAppenders().empty()) return true;
    if (!current.getAdditivity() || current.getName() == log4cplus::Logger::getRoot().getName()) return false;
  }
}

void ShowIfLoggingHides(const log4cplus::Logger& logger, log4cplus::LogLevel level, const std::string& message) {
  if (!LoggingWouldShow(logger, level)) std::cerr << message << std::endl;
}

void ShowErrorIfLoggingHides(const log4cplus::Logger& logger, const std::string& message) {
  ShowIfLoggingHides(logger, log4cplus::ERROR_LOG_LEVEL, message);
}

std::string FindLogPropertyFile(const std::string& hostFile) {
  std::error_code ignored;
  if (std::filesystem::is_regular_file(hostFile, ignored)) return hostFile;
  return korv::vexalib::FindFile(kDefaultLogPropertyFile);
}

void ConfigureToolLogging(const std::string& propertyFile, const log4cplus::Logger& logger) {
  if (!propertyFile.empty()) {
    tundra::log::TesselLogManager::Configure(propertyFile);
    log4cplus::Logger log = logger;
    VEXA_LOG_STREAM(log, log4cplus::DEBUG_LOG_LEVEL, "CmdOpt - Log property file: <" + propertyFile + ">");
    return;
  }
  const std::string found = FindLogPropertyFile();
  if (!found.empty()) {
    tundra::log::TesselLogManager::Configure(found);
    log4cplus::Logger log = logger;
    VEXA_LOG_STREAM(log, log4cplus::DEBUG_LOG_LEVEL, "Using default log property file: <" + found + ">");
    return;
  }
  log4cplus::BasicConfigurator basic(log4cplus::Logger::getDefaultHierarchy(), false);
  basic.configure();
}

ToolFrame::ToolFrame(InitialLevel initialLevel) {
  log4cplus::initialize();
  m_logger = GetAppLogger();
  if (initialLevel == InitialLevel::RootOff) {
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  } else {
    m_logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
  }
}

void ToolFrame::AddSourceOptions(SourceOptions& values, const char* widthText, const char* heightText) {
  AddConnectionOptions(values);
  m_checkGeometry = true;
  m_options.add_options()
      ("width,w", po::value<int>(&values.width)->required(), widthText)
      ("height,e", po::value<int>(&values.height)->required(), heightText);
}

void ToolFrame::AddConnectionOptions(SourceOptions& values) {
  m_sourceOptions = &values;
  m_options.add_options()
      ("help,h", "Print help messages")
      ("address,a", po::value<std::string>(&values.address)->default_value("127.0.0.1"), "VEXA source IP address")
      ("port,p", po::value<int>(&values.port)->required(), "VEXA UDP port")
      ("netif,n", po::value<std::string>(&values.networkInterface)->default_value(""), "network interface to be used");
}

void ToolFrame::AddLoggingOptions(LoggingOptions& values) {
  m_loggingOptions = &values;
  m_options.add_options()
      ("log-property-file,f", po::value<std::string>(&values.logPropertyFile),
       "log4cplus property file (default: vexatools' config/korv/vexatools/log.properties)")
      ("data_type,t", po::value<std::string>(&values.dataType)->default_value("Int16"),
       "Image data type: Byte, Int16, UInt16, Int32, Uint32, Float, Double")
      ("log-level,l", po::value<std::string>(&values.logLevel)->default_value("ERROR"),
       "Log level: ERROR, INFO, DEBUG, TRACE");
}

void ToolFrame::AddStatsOption(bool& enabled) {
  m_options.add_options()("stats", po::bool_switch(&enabled),
                          "Print reception statistics on standard error once a second");
}

void ToolFrame::AddVersionOption(std::string versionLine) {
  m_versionLine = std::move(versionLine);
  m_options.add_options()("version", "Print the program's name and version");
}

void ToolFrame::SetUp(int argc, char** argv) {
  try {
    ParseAndConfigure(argc, argv);
  } catch (const po::error& error) {
    std::cerr << "ERROR: " << error.what() << std::endl << std::endl << m_options << std::endl;
    std::exit(1);
  } catch (const std::exception& error) {
    FailSetUp(std::string("ERROR: ") + error.what());
  }
}

void ToolFrame::ParseAndConfigure(int argc, char** argv) {
  if (m_loggingOptions == nullptr) throw std::logic_error("ToolFrame::AddLoggingOptions was not called");
  po::variables_map variables;
  const po::parsed_options parsed = po::command_line_parser(argc, argv).options(m_options).run();
  // The programs take no positional arguments; one is a typing error, not to be ignored.
  const std::vector<std::string> stray = po::collect_unrecognized(parsed.options, po::include_positional);
  if (!stray.empty()) throw po::error(fmt::format("unexpected argument '{}'", stray.front()));
  po::store(parsed, variables);
  if (variables.count("help") != 0) {
    std::cout << m_options << std::endl;
    std::exit(0);
  }
  if (variables.count("version") != 0) {
    std::cout << m_versionLine << std::endl;
    std::exit(0);
  }
  po::notify(variables);
  ResolveDataType();
  CheckSourceOptions();
  if (variables.count("log-level") != 0) m_logger.setLogLevel(ResolveLogLevel());
  ConfigureToolLogging(m_loggingOptions->logPropertyFile, m_logger);
  // The command line wins over a level the property file gave the logger.
  m_logger.setLogLevel(ResolveLogLevel());
  VEXA_LOG_STREAM(m_logger, log4cplus::INFO_LOG_LEVEL, "Starting application");
}

void ToolFrame::ResolveDataType() {
  const std::string& name = m_loggingOptions->dataType;
  m_dataType = LookUpDataType(name);
  if (m_dataType == dt::Invalid) {
    std::cout << m_options << std::endl;
    throw std::runtime_error(fmt::format("Invalid data_type: {}", name));
  }
  m_elementSize = dt::ElementSize(m_dataType);
  // Without an element size no image size, and no receive buffer, can be computed.
  if (m_elementSize == 0) {
    throw po::error(fmt::format("data type {} has no element size; an image needs one of {}", name,
                                SizedDataTypeNames()));
  }
}

// Values that parse but cannot work are refused before anything starts.
void ToolFrame::CheckSourceOptions() const {
  if (m_sourceOptions == nullptr) return;
  const SourceOptions& source = *m_sourceOptions;
  if (source.port < 0 || source.port > 65535) {
    throw po::error(fmt::format("--port must be between 0 and 65535, not {}", source.port));
  }
  if (!IsIpv4Address(source.address)) {
    throw po::error(fmt::format(
        "-a/--address wants an IPv4 address (a multicast group, or an address of this host), not '{}'",
        source.address));
  }
  if (!source.networkInterface.empty() && !IsIpv4Address(source.networkInterface)) {
    throw po::error(fmt::format(
        "-n/--netif wants the IPv4 address of an interface (for example 192.168.10.2), not '{}'",
        source.networkInterface));
  }
  if (!m_checkGeometry) return;  // the program declared width and height itself
  if (source.width < 1) throw po::error(fmt::format("--width must be at least 1, not {}", source.width));
  if (source.height < 1) throw po::error(fmt::format("--height must be at least 1, not {}", source.height));
  const std::uint64_t imageBytes = ImageBytes(source.width, source.height, m_elementSize).value_or(UINT64_MAX);
  if (imageBytes > INT_MAX) {
    throw po::error(fmt::format("an image of {} x {} pixels of {} bytes takes {} bytes, more than the {} an image "
                                "may take",
                                source.width, source.height, m_elementSize, imageBytes, INT_MAX));
  }
}

int ToolFrame::ResolveLogLevel() {
  const std::string& name = m_loggingOptions->logLevel;
  const log4cplus::LogLevel level = log4cplus::getLogLevelManager().fromString(name);
  if (level == log4cplus::NOT_SET_LOG_LEVEL) {
    std::cout << m_options << std::endl;
    throw std::runtime_error(fmt::format("Invalid log level: {}", name));
  }
  return level;
}

void ToolFrame::FailSetUp(const std::string& message) {
  LogError(m_logger, message);
  std::exit(1);
}

void ToolFrame::ShowReceptionWarnings(VexaReceiver& receiver) const {
  const auto show = [logger = m_logger](const std::string& warning) {
    ShowIfLoggingHides(logger, log4cplus::WARN_LOG_LEVEL, warning);
  };
  receiver.OnReceiveBufferShort(show);
  receiver.OnSilence(show);
}

int ToolFrame::Run(const std::function<int()>& work) {
  try {
    return work();
  } catch (const std::exception& error) {
    LogError(m_logger, std::string("Application Exception: ") + error.what());
    return 1;
  }
}

}  // namespace korv::vexatools
