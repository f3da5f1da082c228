// vexatoolsVexaReceiver: receives a number of VEXA samples and reports what
// arrived and what was lost. SIGINT or SIGTERM ends the run early, with the
// report of the counts reached.
#include <fmt/format.h>

#include <chrono>
#include <exception>
#include <iostream>
#include <optional>

#include "VexaReceiverTool.hpp"
#include "korv/vexatools/StatsReport.hpp"
#include "korv/vexatools/ToolFrame.hpp"
#include "korv/vexatools/Version.hpp"
#include "korv/vexatools/Worker.hpp"

int main(int argc, char** argv) {
  using korv::vexatools::ToolFrame;
  ToolFrame frame(ToolFrame::InitialLevel::RootOff);

  korv::vexatools::SourceOptions source;
  korv::vexatools::LoggingOptions logging;
  unsigned int samples = 0;
  bool stats = false;
  frame.AddSourceOptions(source, "image width", "image height");
  frame.Options().add_options()("samples,s", boost::program_options::value<unsigned int>(&samples)->required(),
                                "number of samples to receive");
  frame.AddLoggingOptions(logging);
  frame.AddStatsOption(stats);
  frame.AddVersionOption(korv::vexatools::VersionLine("vexatoolsVexaReceiver"));
  frame.SetUp(argc, argv);

  return frame.Run([&] {
    const korv::fnd::StopSignals& stop = frame.Signals();
    fmt::print("VEXA Receiver running...\n");
    std::fflush(stdout);
    korv::vexatools::VexaReceiverTool tool(source.address, source.port, source.networkInterface, source.width,
                                          source.height, frame.GetElementSize(), samples);
    std::cout << std::unitbuf;
    frame.ShowReceptionWarnings(tool);
    // Everything --stats writes goes to standard error: the report on
    // standard output stays as it is.
    std::optional<korv::vexatools::StatsReporter> statsReporter;
    if (stats) statsReporter.emplace([&tool] { return tool.GetReceptionStatistics(); });

    // A failure on the receiving thread is handed to this thread, so that it
    // is reported and ends the program with status 1 instead of terminating it.
    korv::vexatools::Worker receiving([&tool] { tool.StartReceiver(); }, [&tool] { tool.StopReceiver(); });
    while (!receiving.Finished() && !stop.WaitFor(std::chrono::milliseconds(10))) {
    }
    // A stop by signal ends the run as reaching the sample limit does.
    const bool stopRequested = stop.StopRequested();
    receiving.Stop();
    receiving.Join();
    if (statsReporter) {
      statsReporter->Finish();
      std::cerr << korv::vexatools::LossSummary(tool.GetReceptionStatistics()) << std::flush;
    }
    if (receiving.Failure()) std::rethrow_exception(receiving.Failure());

    const std::string report =
        fmt::format("Received {} sample(s), lost {} sample(s)\nReceived {} packet(s), lost {} packet(s)\n",
                    tool.GetReceivedSamples(), tool.GetLostSamples(), tool.GetReceivedPackets(),
                    tool.GetLostPackets());
    fmt::print("\nVEXA Receiver execution report:\n{}\n", report);
    std::fflush(stdout);
    // Reception that ended before the requested samples arrived is a failure
    // (a leader this receiver cannot take, a receive error), whatever the counts.
    if (tool.SampleLimitReached() || stopRequested) return 0;
    korv::vexatools::ShowErrorIfLoggingHides(frame.GetLogger(), tool.GetReceptionEndReason());
    return 1;
  });
}
