// vexatoolsVexaSim: sends a simulated VEXA sample stream over UDP.
#include <exception>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "korv/fnd/StopSignals.hpp"
#include "vexasim/SimOptions.hpp"
#include "vexasim/StreamSender.hpp"

int main(int argc, char** argv) {
  const auto parsed = korv::vexasim::ParseCommandLine(argc, argv, std::cout, std::cerr);
  if (!parsed.config) return parsed.exitStatus;
  const korv::vexasim::SimConfig& config = *parsed.config;

  // SIGINT and SIGTERM end the run with the report.
  const korv::fnd::StopSignals stop;
  std::unique_ptr<korv::vexasim::StreamSender> sender;
  try {
    sender = std::make_unique<korv::vexasim::StreamSender>(config);
    const auto& frames = sender->Frames();
    std::cout << fmt::format("VEXA simulator sending {} x {} samples, {} bytes per pixel ({} bytes, {} frames each) "
                             "to {}:{}{}\n",
                             config.width, config.height, config.bytesPerPixel, frames.SampleBytes(),
                             frames.FrameCount(), config.address, config.port,
                             config.samples == 0 ? ", until interrupted" : "")
              << std::flush;
    std::cout << korv::vexasim::FormatReport(sender->Run(stop.Flag())) << std::endl;
  } catch (const std::exception& error) {
    if (sender) std::cout << korv::vexasim::FormatReport(sender->Report()) << std::endl;
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
