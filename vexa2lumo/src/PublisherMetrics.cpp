#include "PublisherMetrics.hpp"

#include "korv/vexatools/http/Metrics.hpp"

namespace korv::vexatools {

std::string MetricsText(const ReceptionStatistics& r, const PublishingFigures& p) {
  http::MetricsPage page;
  page.Family("vexa_datagrams_received_total", "counter", "Datagrams read from the socket, junk included.",
              {{"", r.datagrams}})
      .Family("vexa_received_bytes_total", "counter", "Bytes of the datagrams read from the socket.", {{"", r.bytes}})
      .Family("vexa_samples_total", "counter", "Samples closed, by outcome: every frame arrived, or some never did.",
              {{R"(outcome="complete")", r.completeSamples}, {R"(outcome="incomplete")", r.incompleteSamples}})
      .Family("vexa_frames_missing_total", "counter", "Frames of incomplete samples that never arrived.",
              {{"", r.framesMissing}})
      .Family("vexa_other_sample_frames_total", "counter",
              "Frames of another sample than the one being assembled, skipped.", {{"", r.otherSampleFrames}})
      .Family("vexa_datagrams_dropped_total", "counter",
              "Datagrams lost before assembly, by cause: the full socket buffer, or junk.",
              {{R"(cause="socket_buffer")", r.socketDrops},
               {R"(cause="junk_short")", r.junkShort},
               {R"(cause="junk_oversize")", r.junkOversize},
               {R"(cause="junk_malformed")", r.junkMalformed}})
      .Family("vexa_duplicate_leaders_total", "counter", "Repeated leaders of the sample being assembled.",
              {{"", r.duplicateLeaders}})
      .Family("vexa_images_published_total", "counter", "Images written to the LUMO stream.", {{"", p.published}})
      .Family("vexa_images_dropped_total", "counter",
              "Complete images not published, by cause: the hand-over ring was full, or writing failed.",
              {{R"(cause="ring_full")", p.ringDrops}, {R"(cause="publish_failure")", p.publishFailures}})
      .Family("vexa_receive_buffer_wanted_bytes", "gauge",
              "Socket receive buffer that holds the buffered samples, as the kernel counts it.",
              {{"", r.receiveBufferWanted}})
      .Family("vexa_receive_buffer_in_force_bytes", "gauge", "Socket receive buffer in force.",
              {{"", r.receiveBufferInForce}});
  return page.Text();
}

}  // namespace korv::vexatools
