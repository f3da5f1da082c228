// The start-up frame shared by the vexatools programs: command line, data
// type names, log level and logging configuration, and the guards that turn
// failures into messages and exit statuses.
//
// A program builds a ToolFrame, declares its options (the common ones through
// AddSourceOptions / AddLoggingOptions, its own in between), calls SetUp and
// then runs its work through Run, which ends when Signals() has a stop request.
#pragma once

#include <boost/program_options.hpp>
#include <log4cplus/logger.h>

#include <functional>
#include <string>

#include "korv/fnd/StopSignals.hpp"
#include "korv/fnd/datatype/DataType.hpp"
#include "korv/fnd/datatype/DataTypeNames.hpp"

namespace korv::vexatools {

class VexaReceiver;

// The data type name tables and their look-up, shared with the simulator:
// a name is found as written or in upper case ("uint32" as well as "UInt32").
using korv::fnd::datatype::DataTypeNameMap;
using korv::fnd::datatype::dataTypeNames;
using korv::fnd::datatype::dataTypeNamesUpper;
using korv::fnd::datatype::LookUpDataType;

// The log property file looked up when none is given on the command line.
inline constexpr const char* kDefaultLogPropertyFile = "config/korv/vexatools/log.properties";
// The host's own log property file: where it exists, it takes the place of
// the packaged one for every program, so that an administrator's logging
// survives package upgrades.
inline constexpr const char* kHostLogPropertyFile = "/etc/vexatools/log.properties";

// The option values every program shares.
struct SourceOptions {
  std::string address;
  int port = 0;
  std::string networkInterface;
  int width = 0;
  int height = 0;
};

struct LoggingOptions {
  std::string logPropertyFile;
  std::string dataType;
  std::string logLevel;
};

class ToolFrame {
 public:
  // Where the frame sets the first log level, before the command line is read.
  enum class InitialLevel {
    RootOff,   // the root logger is switched off (receiver tool)
    ToolInfo,  // the application logger logs INFO (publisher tool)
  };

  explicit ToolFrame(InitialLevel initialLevel);

  boost::program_options::options_description& Options() { return m_options; }

  // help, address, port, netif, width, height, with the program's own texts
  // for width and height.
  void AddSourceOptions(SourceOptions& values, const char* widthText, const char* heightText);
  // help, address, port, netif: for a program that declares width and
  // height itself (for example with a default); SetUp then checks the port
  // but not the geometry.
  void AddConnectionOptions(SourceOptions& values);
  // log-property-file, data_type, log-level.
  void AddLoggingOptions(LoggingOptions& values);
  // --stats (long only): statistics on standard error once a second.
  void AddStatsOption(bool& enabled);
  // --version (long only): prints `versionLine` on standard output, exit 0.
  void AddVersionOption(std::string versionLine);

  // Parses the command line, resolves data type and log level, checks the
  // values and configures logging. Returns only on success: --help and every
  // failure end the process (status 0 and 1). Refused: positional
  // arguments, a port outside 0 to 65535, an address or interface address
  // that is not IPv4, a data type without an element size and, for the geometry of AddSourceOptions, a width or height below
  // 1 or an image larger than 2^31 - 1 bytes.
  void SetUp(int argc, char** argv);

  // Runs the program's work and returns its status. An exception is logged
  // as "Application Exception: <text>" (also on standard error when logging
  // would not show it) and gives status 1.
  int Run(const std::function<int()>& work);

  // Shows `receiver`'s warnings on standard error when the logging in force
  // would not show their WARN records: the start-up warning about a receive
  // buffer too small for its samples, and that no datagram came for 5 s.
  // Call before StartReceiver.
  void ShowReceptionWarnings(VexaReceiver& receiver) const;

  // SIGINT and SIGTERM as a stop request, from the frame's construction on.
  const korv::fnd::StopSignals& Signals() const { return m_signals; }

  korv::fnd::datatype::DataType GetDataType() const { return m_dataType; }
  int GetElementSize() const { return m_elementSize; }
  const log4cplus::Logger& GetLogger() const { return m_logger; }

 private:
  void ParseAndConfigure(int argc, char** argv);
  void CheckSourceOptions() const;
  void ResolveDataType();
  int ResolveLogLevel();
  [[noreturn]] void FailSetUp(const std::string& message);

  const korv::fnd::StopSignals m_signals;  // first: a signal during set-up is a stop request too
  log4cplus::Logger m_logger;
  boost::program_options::options_description m_options{"Options"};
  const SourceOptions* m_sourceOptions = nullptr;
  bool m_checkGeometry = false;  // width and height declared by AddSourceOptions
  LoggingOptions* m_loggingOptions = nullptr;
  std::string m_versionLine;
  korv::fnd::datatype::DataType m_dataType = korv::fnd::datatype::Invalid;
  int m_elementSize = 0;
};

// The log property file used when the command line names none: `hostFile`
// when it exists, otherwise the default one that FindFile finds (relative to
// the working directory, the program's directory and its parents, the
// installed data directory); empty when there is none.
std::string FindLogPropertyFile(const std::string& hostFile = kHostLogPropertyFile);

// Configures log4cplus from `propertyFile`, or from FindLogPropertyFile(),
// or with log4cplus's basic console configuration when there is none.
void ConfigureToolLogging(const std::string& propertyFile, const log4cplus::Logger& logger);

// True when a record of `level` sent to `logger` reaches at least one appender.
bool LoggingWouldShow(const log4cplus::Logger& logger, log4cplus::LogLevel level);

// Writes `message` to standard error when a record of `level` sent to
// `logger` would reach no appender, so that what was logged there is seen.
void ShowIfLoggingHides(const log4cplus::Logger& logger, log4cplus::LogLevel level, const std::string& message);

// The same for an ERROR record: a failure is never silent.
void ShowErrorIfLoggingHides(const log4cplus::Logger& logger, const std::string& message);

}  // namespace korv::vexatools
