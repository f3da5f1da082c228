// The command line and the run guard shared by the LUMO tools and the
// programs built like them (recorder, viewer, lab viewer): --help and
// --version, no positional arguments, one --log-level, and one way to end
// on an error: "NAME: what" on standard error and status 1.
//
//   lumo::tools::CommandLine line("lumoBroker", "Usage: lumoBroker [options]", VersionLine("lumoBroker"));
//   line.Add()("uri,u", po::value(&uri), "...");
//   return line.Parse(argc, argv, "\nMore help.\n", [&] { Check(options); });  // in ParseOptions
//   ...
//   return lumo::tools::RunTool("lumoBroker", argc, argv, ParseOptions, Run);  // in main
#pragma once

#include <boost/program_options.hpp>
#include <log4cplus/initializer.h>
#include <log4cplus/loglevel.h>

#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "korv/fnd/StopSignals.hpp"
#include "lumo/LumoMulticast.hpp"

namespace lumo::tools {

// The status of a command-line, set-up or run failure.
inline constexpr int kExitFailure = 1;

class CommandLine {
 public:
  // `usage` heads the help ("Usage: lumoBroker [options]", and what the
  // program does); `versionLine` is what --version prints.
  CommandLine(std::string program, const std::string& usage, std::string versionLine)
      : m_program(std::move(program)), m_versionLine(std::move(versionLine)), m_options(usage + "\n\nOptions") {
    m_options.add_options()("help,h", "show this help and exit")("version", "show the version and exit");
  }

  boost::program_options::options_description_easy_init Add() { return m_options.add_options(); }

  // --log-level,l with `defaultLevel`; Parse refuses a name log4cplus does not know.
  void AddLogLevel(std::string& level, const std::string& defaultLevel) {
    m_logLevel = &level;
    Add()("log-level,l", boost::program_options::value(&level)->default_value(defaultLevel),
          "TRACE, DEBUG, INFO, WARN, ERROR or OFF");
  }

  // --multicast, and --multicast-netif ADDRESS into `multicastNetif` when
  // given, for a program that subscribes; Parse refuses an interface address
  // without --multicast, or one that no interface of this host has.
  void AddMulticastSubscription(bool& multicast, std::string* multicastNetif = nullptr) {
    namespace po = boost::program_options;
    m_multicast = &multicast;
    m_multicastNetif = multicastNetif;
    Add()("multicast", po::bool_switch(&multicast),
          "receive by multicast when the publisher offers it (over TCP otherwise, with a warning)");
    if (multicastNetif != nullptr) {
      Add()("multicast-netif", po::value(multicastNetif),
            "with --multicast: join on the interface with this IPv4 address (default: the one that reaches the "
            "publisher)");
    }
  }

  // Parses the command line into the declared values; `check` then tests
  // them, throwing boost::program_options::error. Returns the status to end
  // the program with when it must not run: 0 after --help (the options, then
  // `helpEpilogue`) or --version, kExitFailure after a command-line error.
  std::optional<int> Parse(int argc, char** argv, const std::string& helpEpilogue = "",
                           const std::function<void()>& check = {}) {
    namespace po = boost::program_options;
    try {
      const po::parsed_options parsed = po::command_line_parser(argc, argv).options(m_options).run();
      // A positional argument is a typing error, not to be ignored.
      const std::vector<std::string> stray = po::collect_unrecognized(parsed.options, po::include_positional);
      if (!stray.empty()) throw po::error("unexpected argument '" + stray.front() + "'");
      po::variables_map values;
      po::store(parsed, values);
      if (values.count("help") != 0) {
        std::cout << m_options << helpEpilogue << std::flush;
        return 0;
      }
      if (values.count("version") != 0) {
        std::cout << m_versionLine << std::endl;
        return 0;
      }
      po::notify(values);
      if (m_logLevel != nullptr && LogLevel() == log4cplus::NOT_SET_LOG_LEVEL) {
        throw po::error("unknown --log-level '" + *m_logLevel + "'");
      }
      CheckMulticastSubscription();
      if (check) check();
      return std::nullopt;
    } catch (const po::error& error) {
      return Fail(error.what());
    }
  }

  // The level --log-level names; only after Parse.
  log4cplus::LogLevel LogLevel() const {
    return log4cplus::getLogLevelManager().fromString(LOG4CPLUS_STRING_TO_TSTRING(*m_logLevel));
  }

  // Reports a command-line error: "NAME: what", and where help is.
  int Fail(const std::string& what) const {
    std::cerr << m_program << ": " << what << "\nTry '" << m_program << " --help'.\n";
    return kExitFailure;
  }

 private:
  void CheckMulticastSubscription() const {
    if (m_multicastNetif == nullptr || m_multicastNetif->empty()) return;
    if (!*m_multicast) throw boost::program_options::error("--multicast-netif needs --multicast");
    if (InterfaceMtu(*m_multicastNetif) <= 0) {
      throw boost::program_options::error("--multicast-netif: no interface of this host has the address '" +
                                          *m_multicastNetif + "'");
    }
  }

  std::string m_program;
  std::string m_versionLine;
  boost::program_options::options_description m_options;
  std::string* m_logLevel = nullptr;
  bool* m_multicast = nullptr;
  std::string* m_multicastNetif = nullptr;
};

// Runs a program's work and returns its status; an exception it lets out is
// reported as "NAME: what" on standard error and gives kExitFailure.
inline int RunGuarded(const std::string& program, const std::function<int()>& work) {
  try {
    return work();
  } catch (const std::exception& error) {
    std::cerr << program << ": " << error.what() << "\n";
    return kExitFailure;
  }
}

// The skeleton of a tool's main: log4cplus set up for the program's life;
// the command line read by `parse` (which returns the status to end with at
// once, or nothing); SIGINT and SIGTERM turned into a stop request that
// `run` sees; and `run`'s status, or kExitFailure when it throws.
template <typename Options>
int RunTool(const std::string& program, int argc, char** argv, std::optional<int> (*parse)(int, char**, Options&),
            const std::type_identity_t<std::function<int(Options&, const korv::fnd::StopSignals&)>>& run) {
  log4cplus::Initializer initializer;
  Options options;
  if (const auto exit = parse(argc, argv, options)) return *exit;
  const korv::fnd::StopSignals stop;
  return RunGuarded(program, [&] { return run(options, stop); });
}

}  // namespace lumo::tools
