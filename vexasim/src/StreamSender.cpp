#include "vexasim/StreamSender.hpp"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/unicast.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "vexasim/ReplayPlanner.hpp"

namespace korv::vexasim {
namespace {

// Datagrams handed to the kernel per sendmmsg call at most.
constexpr std::size_t kBatchSize = 64;
// A larger send buffer lets one sendmmsg batch go out without blocking.
constexpr int kSendBufferBytes = 4 * 1024 * 1024;

[[noreturn]] void ThrowErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

boost::asio::ip::address_v4 ParseAddress(const std::string& text, const char* what) {
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address_v4(text, error);
  if (error) throw std::system_error(std::make_error_code(std::errc::invalid_argument), what + text);
  return address;
}

SampleLayout LayoutOf(const SimConfig& config) {
  SampleLayout layout;
  layout.width = config.width;
  layout.height = config.height;
  layout.bytesPerPixel = config.bytesPerPixel;
  layout.dataType = config.dataType;
  layout.extendedInfo = config.extendedInfo;
  return layout;
}

double SecondsSinceEpoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t NanosecondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Room for any UDP datagram a capture can hold.
constexpr std::size_t kMaxReplayedDatagramSize = 65535;
// The source port written captures show.
constexpr std::uint16_t kCaptureSourcePort = 49152;

// Sleeps until `deadline` on the monotonic clock (which steady_clock is on
// Linux); returns early when a signal arrives.
void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  const timespec wake{static_cast<time_t>(sinceEpoch / 1'000'000'000), static_cast<long>(sinceEpoch % 1'000'000'000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
}

}  // namespace

class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Hands over datagrams from the first on; returns how many were taken, at
  // least one unless `stop` became true meanwhile. Throws when it fails.
  virtual std::size_t Put(std::span<iovec> datagrams, std::span<const std::int64_t> stampsNs,
                          const std::atomic<bool>& stop) = 0;
  // True for a socket, where pacing waits for the due time; a file only
  // takes the due times as time stamps.
  virtual bool RealTime() const = 0;
  virtual std::string Destination() const = 0;
};

namespace {

class UdpSink : public DatagramSink {
 public:
  explicit UdpSink(const SimConfig& config) : m_config(config), m_socket(m_context) {
    namespace ip = boost::asio::ip;
    const ip::address_v4 destination = ParseAddress(config.address, "Invalid address ");
    m_destination = ip::udp::endpoint(destination, static_cast<std::uint16_t>(config.port));
    m_socket.open(ip::udp::v4());
    // Best effort: the kernel caps it at net.core.wmem_max.
    boost::system::error_code ignored;
    m_socket.set_option(boost::asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
    if (destination.is_multicast()) {
      m_socket.set_option(ip::multicast::hops(config.ttl.value_or(1)));
      m_socket.set_option(ip::multicast::enable_loopback(true));
      if (!config.netif.empty()) {
        boost::system::error_code error;
        m_socket.set_option(ip::multicast::outbound_interface(ParseAddress(config.netif, "Invalid interface address ")),
                            error);
        if (error) throw boost::system::system_error(error, "set_option(outbound interface " + config.netif + ")");
      }
    } else if (config.ttl) {
      m_socket.set_option(ip::unicast::hops(*config.ttl));
    }
    for (mmsghdr& message : m_messages) {
      message.msg_hdr.msg_name = m_destination.data();
      message.msg_hdr.msg_namelen = static_cast<socklen_t>(m_destination.size());
      message.msg_hdr.msg_iovlen = 1;
    }
  }

  std::size_t Put(std::span<iovec> datagrams, std::span<const std::int64_t>, const std::atomic<bool>& stop) override {
    const std::size_t count = std::min(datagrams.size(), m_messages.size());
    for (std::size_t i = 0; i < count; ++i) m_messages[i].msg_hdr.msg_iov = &datagrams[i];
    for (;;) {
      const int sent = sendmmsg(m_socket.native_handle(), m_messages.data(), static_cast<unsigned>(count), 0);
      if (sent >= 0) return static_cast<std::size_t>(sent);
      if (errno != EINTR && errno != EAGAIN && errno != ENOBUFS) ThrowErrno("sendmmsg to " + Destination());
      // Interrupted, or the interface queue is full for a moment.
      if (stop.load(std::memory_order_relaxed)) return 0;
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  bool RealTime() const override { return true; }
  std::string Destination() const override { return m_config.address + ":" + std::to_string(m_config.port); }

 private:
  const SimConfig& m_config;
  boost::asio::io_context m_context;
  boost::asio::ip::udp::socket m_socket;
  boost::asio::ip::udp::endpoint m_destination;
  std::array<mmsghdr, kBatchSize> m_messages{};
};

CaptureEndpoints EndpointsOf(const SimConfig& config) {
  CaptureEndpoints endpoints;
  const auto destination = ParseAddress(config.address, "Invalid address ");
  endpoints.destinationAddress = destination.to_uint();
  endpoints.destinationPort = static_cast<std::uint16_t>(config.port);
  if (!config.netif.empty()) endpoints.sourceAddress = ParseAddress(config.netif, "Invalid interface address ").to_uint();
  endpoints.sourcePort = kCaptureSourcePort;
  endpoints.ttl = static_cast<std::uint8_t>(config.ttl.value_or(destination.is_multicast() ? 1 : 64));
  return endpoints;
}

class CaptureSink : public DatagramSink {
 public:
  explicit CaptureSink(const SimConfig& config)
      : m_config(config), m_writer(config.pcapFile, config.pcapLink, EndpointsOf(config)) {}

  std::size_t Put(std::span<iovec> datagrams, std::span<const std::int64_t> stampsNs,
                  const std::atomic<bool>&) override {
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      m_writer.Write({static_cast<const unsigned char*>(datagrams[i].iov_base), datagrams[i].iov_len}, stampsNs[i]);
    }
    m_writer.Flush();
    return datagrams.size();
  }

  bool RealTime() const override { return false; }
  std::string Destination() const override {
    return fmt::format("capture file {} (as sent to {}:{})", m_config.pcapFile, m_config.address, m_config.port);
  }

 private:
  const SimConfig& m_config;
  CaptureWriter m_writer;
};

}  // namespace

SendPacer::SendPacer(double samplesPerSecond) : m_periodNs(samplesPerSecond > 0.0 ? 1e9 / samplesPerSecond : 0.0) {}

std::chrono::nanoseconds SendPacer::Offset(std::uint64_t sampleIndex, std::size_t datagram,
                                           std::size_t datagramsInSample) const {
  const double position =
      static_cast<double>(sampleIndex) + static_cast<double>(datagram) / static_cast<double>(datagramsInSample);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(position * m_periodNs));
}

std::string FormatReport(const SendReport& report) {
  const double seconds = report.seconds > 0.0 ? report.seconds : 0.0;
  auto perSecond = [seconds](double count) { return seconds > 0.0 ? count / seconds : 0.0; };
  std::string text =
      report.file.empty()
          ? fmt::format(
                "Sent {} samples, {} frames, {} bytes in {:.3f} s: {:.1f} samples/s, {:.0f} frames/s, {:.3f} Gbit/s",
                report.samples, report.frames, report.bytes, seconds, perSecond(double(report.samples)),
                perSecond(double(report.frames)), perSecond(double(report.bytes) * 8.0) / 1e9)
          : fmt::format("Wrote {} samples, {} frames, {} bytes to {}, time-stamped over {:.3f} s", report.samples,
                        report.frames, report.bytes, report.file, seconds);
  if (report.faults != FaultCounters{}) {
    const FaultCounters& f = report.faults;
    text += fmt::format(
        "; faults: {} payload frames dropped, {} leaders dropped, {} trailers dropped, {} duplicates, "
        "{} foreign frames, {} junk datagrams",
        f.droppedPayloadFrames, f.droppedLeaders, f.droppedTrailers, f.duplicatedFrames, f.foreignFrames,
        f.junkDatagrams);
  }
  return text;
}

// Datagrams rendered and waiting for one hand-over to the sink, with what
// each one adds to the report once the sink took it.
struct StreamSender::Batch {
  struct Entry {
    bool isFrame = false;
    std::uint32_t samplesEnded = 0;  // samples whose last datagram this is
    FaultCounters faults;            // of those samples
  };
  explicit Batch(std::size_t slotSize) : slotSize(slotSize), buffers(kBatchSize * slotSize) {
    for (std::size_t i = 0; i < kBatchSize; ++i) iovecs[i].iov_base = Buffer(i).data();
  }

  std::size_t slotSize;
  std::vector<unsigned char> buffers;
  std::array<iovec, kBatchSize> iovecs{};
  std::array<std::int64_t, kBatchSize> stamps{};
  std::array<Entry, kBatchSize> entries{};
  std::size_t size = 0;

  std::span<unsigned char> Buffer(std::size_t index) {
    return std::span(buffers).subspan(index * slotSize, slotSize);
  }
};

StreamSender::StreamSender(const SimConfig& config) : m_config(config) {
  if (config.replayFile.empty()) {
    m_frames.emplace(LayoutOf(config));
  } else {
    m_replay = std::make_unique<CaptureReader>(config.replayFile, config.filter);
  }
  if (config.pcapFile.empty()) {
    m_sink = std::make_unique<UdpSink>(m_config);
  } else {
    m_sink = std::make_unique<CaptureSink>(m_config);
  }
}

StreamSender::~StreamSender() = default;

std::string StreamSender::StartLine() const {
  if (m_frames) {
    return fmt::format("VEXA simulator sending {} x {} samples, {} bytes per pixel ({} bytes, {} frames each) to {}{}",
                       m_config.width, m_config.height, m_config.bytesPerPixel, m_frames->SampleBytes(),
                       m_frames->FrameCount(), m_sink->Destination(),
                       m_config.samples == 0 ? ", until interrupted" : "");
  }
  return fmt::format("VEXA simulator replaying {}{} {} to {}", m_config.replayFile,
                     m_config.filter.empty() ? "" : " (filter '" + m_config.filter + "')",
                     m_config.speed > 0.0 ? fmt::format("at speed {}", m_config.speed) : "as fast as possible",
                     m_sink->Destination());
}

std::int64_t StreamSender::StampNow() const {
  return m_startStampNs + std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_start).count();
}

std::int64_t StreamSender::WaitUntilDue(Batch& batch, std::chrono::nanoseconds offset, const std::atomic<bool>& stop) {
  const auto due = m_start + offset;
  if (m_sink->RealTime() && due > std::chrono::steady_clock::now()) {
    Flush(batch, stop);
    SleepUntil(due);
  }
  return m_startStampNs + offset.count();
}

void StreamSender::EndSample(Batch& batch, const FaultCounters& faults) {
  if (batch.size == 0) {  // every datagram of the sample is out already, or there was none
    ++m_report.samples;
    m_report.faults += faults;
    return;
  }
  Batch::Entry& last = batch.entries[batch.size - 1];
  ++last.samplesEnded;
  last.faults += faults;
}

void StreamSender::Flush(Batch& batch, const std::atomic<bool>& stop) {
  std::size_t sent = 0;
  while (sent < batch.size) {
    std::size_t count = 0;
    try {
      count = m_sink->Put(std::span(batch.iovecs).subspan(sent, batch.size - sent),
                          std::span(batch.stamps).subspan(sent, batch.size - sent), stop);
    } catch (...) {
      batch.size = 0;
      throw;
    }
    if (count == 0) break;  // stopped
    for (std::size_t i = sent; i < sent + count; ++i) {
      const Batch::Entry& entry = batch.entries[i];
      m_report.bytes += batch.iovecs[i].iov_len;
      if (entry.isFrame) ++m_report.frames;
      m_report.samples += entry.samplesEnded;
      m_report.faults += entry.faults;
    }
    // A file's time is the span of its time stamps; a socket's, the time it took.
    m_report.seconds = m_sink->RealTime()
                           ? std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count()
                           : static_cast<double>(batch.stamps[sent + count - 1] - m_startStampNs) * 1e-9;
    sent += count;
  }
  batch.size = 0;
}

SendReport StreamSender::Run(const std::atomic<bool>& stop) {
  auto batch = std::make_unique<Batch>(m_frames ? kMaxDatagramSize : kMaxReplayedDatagramSize);
  m_report = SendReport{};
  if (!m_sink->RealTime()) m_report.file = m_config.pcapFile;
  m_start = std::chrono::steady_clock::now();
  m_startStampNs = NanosecondsSinceEpoch();
  if (m_frames) {
    RunSimulated(*batch, stop);
  } else {
    RunReplay(*batch, stop);
  }
  Flush(*batch, stop);
  return m_report;
}

void StreamSender::RunSimulated(Batch& batch, const std::atomic<bool>& stop) {
  const SendPacer pacer(m_config.rate);
  // Default timer slack (50 us) would make every paced wake-up late.
  if (pacer.Paced()) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  FrameScheduler scheduler(m_frames->FrameCount(), m_config.faults);
  std::vector<PlannedDatagram> plan;
  const bool stampEvery = !m_sink->RealTime();  // a capture file needs each datagram's time
  std::uint32_t sampleId = m_config.firstSampleId;
  for (std::uint64_t sampleIndex = 0; m_config.samples == 0 || sampleIndex < m_config.samples; ++sampleIndex) {
    if (stop.load(std::memory_order_relaxed)) break;
    const FaultCounters faults = scheduler.PlanSample(sampleIndex, sampleId, plan);
    std::size_t i = 0;
    for (; i < plan.size() && !stop.load(std::memory_order_relaxed); ++i) {
      const PlannedDatagram& datagram = plan[i];
      const bool leader = datagram.kind == DatagramKind::Frame && datagram.frameId == 1;
      std::int64_t stamp = 0;
      if (pacer.Paced()) {
        stamp = WaitUntilDue(batch, pacer.Offset(sampleIndex, i, plan.size()), stop);
      } else if (stampEvery) {
        stamp = StampNow();
      }
      // A leader sent carries the time it is sent; one written, its time stamp.
      double timestamp = 0.0;
      if (leader && m_config.extendedInfo) timestamp = stampEvery ? double(stamp) * 1e-9 : SecondsSinceEpoch();
      batch.iovecs[batch.size].iov_len = RenderDatagram(*m_frames, datagram, batch.Buffer(batch.size), timestamp);
      batch.stamps[batch.size] = stamp;
      batch.entries[batch.size] = {datagram.kind == DatagramKind::Frame, 0, {}};
      if (++batch.size == kBatchSize) Flush(batch, stop);
    }
    if (i == plan.size()) EndSample(batch, faults);
    ++sampleId;
  }
}

std::chrono::nanoseconds StreamSender::ReplayOffset(std::int64_t capturedNs) const {
  // Time stamps that go backwards send at once; a century caps the wait.
  constexpr double kMaxOffsetNs = 100.0 * 365 * 86400 * 1e9;
  const double offset = std::clamp(double(capturedNs) / m_config.speed, 0.0, kMaxOffsetNs);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(offset));
}

void StreamSender::RunReplay(Batch& batch, const std::atomic<bool>& stop) {
  ReplayPlanner planner(m_config.faults);
  std::vector<PlannedDatagram> plan;
  CapturedDatagram current;
  CapturedDatagram next;
  bool haveCurrent = m_replay->Next(current);
  if (!haveCurrent) {
    throw std::runtime_error(
        m_config.filter.empty()
            ? fmt::format("{} holds no IPv4 UDP datagram to replay", m_config.replayFile)
            : fmt::format("The filter '{}' matches no IPv4 UDP datagram of {}", m_config.filter, m_config.replayFile));
  }
  const std::int64_t firstCaptureNs = current.timestampNs;
  while (haveCurrent && !stop.load(std::memory_order_relaxed)) {
    const std::uint64_t sampleNumber = planner.Plan(current.bytes, plan);
    if (m_config.samples != 0 && sampleNumber > m_config.samples) break;
    const bool haveNext = m_replay->Next(next);
    const bool endsSample = sampleNumber != 0 && (!haveNext || planner.BeginsSample(next.bytes));

    const std::int64_t stamp = m_config.speed > 0.0
                                   ? WaitUntilDue(batch, ReplayOffset(current.timestampNs - firstCaptureNs), stop)
                                   : StampNow();
    const bool isFrame = ReplayPlanner::HasPossibleHeader(current.bytes);
    for (const PlannedDatagram& datagram : plan) {
      const std::span<unsigned char> buffer = batch.Buffer(batch.size);
      std::size_t length = current.bytes.size();
      std::memcpy(buffer.data(), current.bytes.data(), length);
      if (isFrame) length = DeriveFromFrame(datagram.kind, datagram.sampleId, buffer, length);
      batch.iovecs[batch.size].iov_len = length;
      batch.stamps[batch.size] = stamp;
      batch.entries[batch.size] = {isFrame && datagram.kind == DatagramKind::Frame, 0, {}};
      if (++batch.size == kBatchSize) Flush(batch, stop);
    }
    if (endsSample) EndSample(batch, planner.TakeSampleFaults());
    std::swap(current, next);
    haveCurrent = haveNext;
  }
}

}  // namespace korv::vexasim
