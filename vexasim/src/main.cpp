// vexatoolsVexaSim: sends a simulated VEXA sample stream over UDP, replays a
// captured one, or writes either into a capture file.
#include <exception>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "korv/fnd/StopSignals.hpp"
#include "vexasim/SimOptions.hpp"
#include "vexasim/StreamSender.hpp"

namespace {

void PrintSkipped(const korv::vexasim::StreamSender& sender) {
  if (sender.SkippedPackets() != 0) {
    std::cout << "Skipped " << sender.SkippedPackets()
              << " captured packets without a whole IPv4 UDP datagram (other protocols, IP fragments, "
                 "packets cut short by the capture)"
              << std::endl;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = korv::vexasim::ParseCommandLine(argc, argv, std::cout, std::cerr);
  if (!parsed.config) return parsed.exitStatus;
  const korv::vexasim::SimConfig& config = *parsed.config;

  // SIGINT and SIGTERM end the run with the report.
  const korv::fnd::StopSignals stop;
  std::unique_ptr<korv::vexasim::StreamSender> sender;
  try {
    sender = std::make_unique<korv::vexasim::StreamSender>(config);
    std::cout << sender->StartLine() << std::endl;
    std::cout << korv::vexasim::FormatReport(sender->Run(stop.Flag())) << std::endl;
    PrintSkipped(*sender);
  } catch (const std::exception& error) {
    if (sender) {
      std::cout << korv::vexasim::FormatReport(sender->Report()) << std::endl;
      PrintSkipped(*sender);
    }
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
