// Sends the simulated stream over a UDP socket: plans each sample with the
// FrameScheduler, renders the datagrams into a batch of buffers and hands
// them to the kernel with sendmmsg, paced to the requested sample rate.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

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
  double seconds = 0.0;
  FaultCounters faults;       // of the samples counted above
};

// "Sent 10 samples, 1780 frames, ... Gbit/s", plus the faults when there were any.
std::string FormatReport(const SendReport& report);

class StreamSender {
 public:
  // Opens and sets up the socket. Throws std::system_error for an invalid
  // address and boost::system::system_error when a socket operation fails.
  explicit StreamSender(const SimConfig& config);
  StreamSender(const StreamSender&) = delete;
  StreamSender& operator=(const StreamSender&) = delete;

  const SampleFrames& Frames() const { return m_frames; }

  // Sends the configured samples, or until `stop` becomes true. Throws
  // std::system_error when a send fails; Report() then holds what was sent.
  SendReport Run(const std::atomic<bool>& stop);
  const SendReport& Report() const { return m_report; }

 private:
  struct Batch;
  void Flush(Batch& batch, const std::atomic<bool>& stop);

  SimConfig m_config;
  SampleFrames m_frames;
  boost::asio::io_context m_context;
  boost::asio::ip::udp::socket m_socket;
  boost::asio::ip::udp::endpoint m_destination;
  SendReport m_report;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace korv::vexasim
