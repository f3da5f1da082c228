// vexatoolsVexaSim: sends a simulated VEXA sample stream over UDP.
#include <signal.h>

#include <atomic>
#include <exception>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "vexasim/SimOptions.hpp"
#include "vexasim/StreamSender.hpp"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void RequestStop(int) { stopRequested.store(true, std::memory_order_relaxed); }

// SIGINT and SIGTERM end the run with the report. No SA_RESTART, so a
// sleeping or blocked send returns at once.
void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = korv::vexasim::ParseCommandLine(argc, argv, std::cout, std::cerr);
  if (!parsed.config) return parsed.exitStatus;
  const korv::vexasim::SimConfig& config = *parsed.config;

  InstallStopHandlers();
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
    std::cout << korv::vexasim::FormatReport(sender->Run(stopRequested)) << std::endl;
  } catch (const std::exception& error) {
    if (sender) std::cout << korv::vexasim::FormatReport(sender->Report()) << std::endl;
    std::cerr << "ERROR: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
