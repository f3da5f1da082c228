// Sends the simulated stream over a UDP socket: plans each sample with the
// FrameScheduler, renders the datagrams into a batch of buffers and hands
// them to the kernel with sendmmsg, paced to the requested sample rate.
// Replays a capture the same way, and writes a capture file instead of
// sending when asked to.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vexasim/Capture.hpp"
#include "vexasim/FrameScheduler.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexasim/SimOptions.hpp"

namespace korv::vexasim {

// When each datagram of a paced run is due: sample k starts k periods after
// the start of the run, and its datagrams are spread evenly over its period,
// so the rate holds on average and the stream never bursts a whole sample.
class SendPacer {
 public:
  explicit SendPacer(double samplesPerSecond);  // 0: not paced

  bool Paced() const { return m_periodNs > 0.0; }
  std::chrono::nanoseconds Offset(std::uint64_t sampleIndex, std::size_t datagram, std::size_t datagramsInSample) const;

 private:
  double m_periodNs = 0.0;
};

struct SendReport {
  std::uint64_t samples = 0;  // samples whose every datagram was sent
  std::uint64_t frames = 0;   // PLEXO frames sent, duplicates and foreign frames included
  std::uint64_t bytes = 0;    // UDP payload bytes of every datagram, junk included
  double seconds = 0.0;        // sent: the time it took; written: the span of the time stamps
  FaultCounters faults;       // of the samples counted above
  std::string file;           // the capture file written, empty when sent
};

// "Sent 10 samples, 1780 frames, ... Gbit/s", plus the faults when there were
// any. A capture file is written as fast as it goes, so its report gives no
// rate: "Wrote 10 samples, 1780 frames, ... bytes to FILE, time-stamped over ... s".
std::string FormatReport(const SendReport& report);

// Where rendered datagrams go: a UDP socket, or a capture file.
class DatagramSink;

class StreamSender {
 public:
  // Opens and sets up the socket, or creates the capture file, and opens the
  // capture to replay. Throws std::system_error for an invalid address,
  // boost::system::system_error when a socket operation fails and
  // std::runtime_error when a capture file cannot be read or written.
  explicit StreamSender(const SimConfig& config);
  ~StreamSender();
  StreamSender(const StreamSender&) = delete;
  StreamSender& operator=(const StreamSender&) = delete;

  // The frames of simulated samples; nothing when replaying.
  const std::optional<SampleFrames>& Frames() const { return m_frames; }
  // The line the program prints before it starts.
  std::string StartLine() const;

  // Sends the configured samples, or the capture, until done or until `stop`
  // becomes true. Throws std::system_error when a send fails and
  // std::runtime_error when a capture file fails; Report() then holds what
  // was sent.
  SendReport Run(const std::atomic<bool>& stop);
  const SendReport& Report() const { return m_report; }
  // Replay: captured packets that held no whole IPv4 UDP datagram.
  std::uint64_t SkippedPackets() const { return m_replay ? m_replay->Skipped() : 0; }

 private:
  struct Batch;
  void RunSimulated(Batch& batch, const std::atomic<bool>& stop);
  void RunReplay(Batch& batch, const std::atomic<bool>& stop);
  // Waits until `offset` after the start when the output is a socket, and
  // returns the time stamp of a datagram due then.
  std::int64_t WaitUntilDue(Batch& batch, std::chrono::nanoseconds offset, const std::atomic<bool>& stop);
  std::int64_t StampNow() const;
  // When a datagram captured `capturedNs` after the first is due, at --speed.
  std::chrono::nanoseconds ReplayOffset(std::int64_t capturedNs) const;
  void EndSample(Batch& batch, const FaultCounters& faults);
  void Flush(Batch& batch, const std::atomic<bool>& stop);

  SimConfig m_config;
  std::optional<SampleFrames> m_frames;
  std::unique_ptr<CaptureReader> m_replay;
  std::unique_ptr<DatagramSink> m_sink;
  SendReport m_report;
  std::chrono::steady_clock::time_point m_start;
  std::int64_t m_startStampNs = 0;  // wall clock at the start, ns since the epoch
};

}  // namespace korv::vexasim
