// The receiver tool's command line and set-up failures, as a user meets them.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <string>

#include "vexatools/testsupport/Process.hpp"

namespace {

using vexatools::testsupport::RunProgram;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The option listing every failure of the command line shows.
void ExpectOptionListing(const std::string& text) {
  EXPECT_TRUE(Contains(text, "Options:")) << text;
  for (const char* option : {"-h [ --help ]", "-a [ --address ] arg (=127.0.0.1)", "VEXA UDP port",
                             "-s [ --samples ] arg", "number of samples to receive", "-f [ --log-property-file ]",
                             "-t [ --data_type ] arg (=Int16)", "Uint32, Float, Double",
                             "-l [ --log-level ] arg (=ERROR)", "Log level: ERROR, INFO, DEBUG, TRACE"}) {
    EXPECT_TRUE(Contains(text, option)) << "missing '" << option << "' in:\n" << text;
  }
}

TEST(ReceiverToolCommandLine, HelpWorksWithoutRequiredOptionsAndUnknownOptionsFail) {
  auto result = RunProgram(RECEIVER_PROGRAM, {"--help"});
  EXPECT_EQ(result.exitStatus, 0);
  ExpectOptionListing(result.out);
  EXPECT_EQ(result.err, "");

  result = RunProgram(RECEIVER_PROGRAM, {"-h", "--bogus"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "ERROR: unrecognised option '--bogus'\n\nOptions:")) << result.err;
}

TEST(ReceiverToolCommandLine, CommandLineErrorsGoToStandardErrorWithStatusOne) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-w", "4", "-e", "4", "-s", "1"}, "ERROR: the option '--port' is required but missing"},
      {{"-p", "x", "-w", "4", "-e", "4", "-s", "1"}, "ERROR: the argument ('x') for option '--port' is invalid"},
      {{"-p", "1", "-p", "2", "-w", "4", "-e", "4", "-s", "1"}, "ERROR: option '--port' cannot be specified more than once"},
      {{"-p", "1", "-w", "4", "-e", "4"}, "ERROR: the option '--samples' is required but missing"},
  };
  for (const auto& [arguments, message] : cases) {
    const auto result = RunProgram(RECEIVER_PROGRAM, arguments);
    EXPECT_EQ(result.exitStatus, 1) << message;
    EXPECT_TRUE(Contains(result.err, message + "\n\n")) << result.err;
    ExpectOptionListing(result.err);
    EXPECT_EQ(result.out, "");
  }
}

TEST(ReceiverToolCommandLine, BadDataTypeAndLogLevelShowTheOptionsAndExplain) {
  const std::vector<std::string> base = {"-p", "1", "-w", "4", "-e", "4", "-s", "1"};
  for (const auto& [option, value, message] :
       {std::tuple{"-t", "Int17", "Invalid data_type: Int17"}, std::tuple{"-t", "Invalid", "Invalid data_type: Invalid"},
        std::tuple{"-l", "LOUD", "Invalid log level: LOUD"}}) {
    auto arguments = base;
    arguments.insert(arguments.end(), {option, value});
    const auto result = RunProgram(RECEIVER_PROGRAM, arguments);
    EXPECT_EQ(result.exitStatus, 1) << message;
    ExpectOptionListing(result.out);
    EXPECT_TRUE(Contains(result.err, std::string("ERROR: ") + message)) << result.err;
  }
}

TEST(ReceiverToolCommandLine, AnUnreadablePropertyFileIsASetUpFailure) {
  for (const auto& [file, message] : {std::pair{"/no/such/file", "ERROR: Cannot read log property file: /no/such/file"},
                                      std::pair{"/", "ERROR: Log property file is a directory: /"}}) {
    const auto result = RunProgram(RECEIVER_PROGRAM, {"-p", "1", "-w", "4", "-e", "4", "-s", "1", "-f", file});
    EXPECT_EQ(result.exitStatus, 1) << file;
    EXPECT_TRUE(Contains(result.err, message)) << result.err;
  }
}

// Values that parse but could never work are refused before anything starts.
TEST(ReceiverToolCommandLine, ValuesThatCannotWorkAreRefused) {
  using Arguments = std::vector<std::string>;
  const std::vector<std::pair<Arguments, std::string>> cases = {
      {{"-p", "70000", "-w", "4", "-e", "4", "-s", "1"}, "ERROR: --port must be between 0 and 65535, not 70000"},
      {{"-p", "-1", "-w", "4", "-e", "4", "-s", "1"}, "ERROR: --port must be between 0 and 65535, not -1"},
      {{"-p", "1", "-w", "0", "-e", "0", "-s", "1"}, "ERROR: --width must be at least 1, not 0"},
      {{"-p", "1", "-w", "4", "-e", "-3", "-s", "1"}, "ERROR: --height must be at least 1, not -3"},
      {{"-p", "1", "-w", "65536", "-e", "32768", "-s", "1"},
       "takes 4294967296 bytes, more than the 2147483647 an image may take"},
      {{"-p", "1", "-w", "4", "-e", "4", "-s", "1", "-t", "Bool"},
       "ERROR: data type Bool has no element size; an image needs one of Char, Byte, Int16"},
      {{"-p", "1", "-w", "4", "-e", "4", "-s", "1", "-t", "complexfloat"},
       "ERROR: data type complexfloat has no element size"},
      {{"-p", "1", "-w", "4", "-e", "4", "-s", "1", "stray"}, "ERROR: unexpected argument 'stray'"},
  };
  for (const auto& [arguments, message] : cases) {
    const auto result = RunProgram(RECEIVER_PROGRAM, arguments);
    EXPECT_EQ(result.exitStatus, 1) << message;
    EXPECT_TRUE(Contains(result.err, message)) << result.err;
    EXPECT_EQ(result.out, "") << message;
  }
}

TEST(ReceiverToolRun, SocketFailuresEndWithStatusOneAndNoReport) {
  // A port held by a socket that does not allow address reuse.
  boost::asio::io_context context;
  boost::asio::ip::udp::socket holder(context, {boost::asio::ip::udp::v4(), 0});
  const std::string port = std::to_string(holder.local_endpoint().port());

  auto result = RunProgram(RECEIVER_PROGRAM, {"-p", port, "-w", "4", "-e", "4", "-s", "1"});
  holder.close();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "VEXA Receiver running...\n");
  EXPECT_TRUE(Contains(result.err, "Application Exception: cannot receive on UDP 0.0.0.0:" + port +
                                       " (another program holds this port without sharing it: stop it or choose "
                                       "another port): Address already in use"))
      << result.err;

  // 192.0.2.1, a documentation address, is on no interface of a test host.
  result = RunProgram(RECEIVER_PROGRAM, {"-a", "239.255.0.1", "-n", "192.0.2.1", "-p", port, "-w", "4", "-e", "4",
                                         "-s", "1"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(Contains(result.out, "execution report"));
  EXPECT_TRUE(Contains(result.err, "Application Exception: cannot join the multicast group 239.255.0.1 on the "
                                   "interface 192.0.2.1: no local interface has the address 192.0.2.1"))
      << result.err;

  // Not an address at all: refused before anything starts, in the set-up's form.
  result = RunProgram(RECEIVER_PROGRAM, {"-a", "not-an-address", "-p", port, "-w", "4", "-e", "4", "-s", "1"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(Contains(result.err, "ERROR: -a/--address wants an IPv4 address (a multicast group, or an address of "
                                   "this host), not 'not-an-address'\n\nOptions:"))
      << result.err;
}

TEST(ReceiverToolRun, DebugLevelLogsThePropertyFileInUse) {
  // A group joined on an interface address no interface has ends the run
  // right after set-up.
  const auto result = RunProgram(RECEIVER_PROGRAM, {"-a", "239.255.0.1", "-n", "192.0.2.1", "-p", "1", "-w", "4", "-e",
                                                    "4", "-s", "1", "-l", "DEBUG"});
  EXPECT_TRUE(Contains(result.err, "Using default log property file: <")) << result.err;
  EXPECT_TRUE(Contains(result.err, "config/korv/vexatools/log.properties>")) << result.err;
}

}  // namespace
