#include "vexasim/StreamSender.hpp"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/unicast.hpp>

#include <array>
#include <cerrno>
#include <fmt/format.h>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

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

// Sleeps until `deadline` on the monotonic clock (which steady_clock is on
// Linux); returns early when a signal arrives.
void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  const timespec wake{static_cast<time_t>(sinceEpoch / 1'000'000'000), static_cast<long>(sinceEpoch % 1'000'000'000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
}

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
  std::string text = fmt::format(
      "Sent {} samples, {} frames, {} bytes in {:.3f} s: {:.1f} samples/s, {:.0f} frames/s, {:.3f} Gbit/s",
      report.samples, report.frames, report.bytes, seconds, perSecond(double(report.samples)),
      perSecond(double(report.frames)), perSecond(double(report.bytes) * 8.0) / 1e9);
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

// Datagrams rendered and waiting for one sendmmsg call, with what each one
// adds to the report once the kernel took it.
struct StreamSender::Batch {
  struct Entry {
    bool isFrame = false;
    bool endsSample = false;
    FaultCounters faults;  // of the sample it ends
  };
  std::vector<unsigned char> buffers = std::vector<unsigned char>(kBatchSize * kMaxDatagramSize);
  std::array<iovec, kBatchSize> iovecs{};
  std::array<mmsghdr, kBatchSize> messages{};
  std::array<Entry, kBatchSize> entries{};
  std::size_t size = 0;

  std::span<unsigned char> Buffer(std::size_t index) {
    return std::span(buffers).subspan(index * kMaxDatagramSize, kMaxDatagramSize);
  }
};

StreamSender::StreamSender(const SimConfig& config)
    : m_config(config), m_frames(LayoutOf(config)), m_socket(m_context) {
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
}

void StreamSender::Flush(Batch& batch, const std::atomic<bool>& stop) {
  std::size_t sent = 0;
  while (sent < batch.size) {
    const int count = sendmmsg(m_socket.native_handle(), batch.messages.data() + sent, static_cast<unsigned>(batch.size - sent), 0);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) {
        // Interrupted, or the interface queue is full for a moment.
        if (stop.load(std::memory_order_relaxed)) break;
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      batch.size = 0;
      ThrowErrno("sendmmsg to " + m_config.address + ":" + std::to_string(m_config.port));
    }
    for (std::size_t i = sent; i < sent + static_cast<std::size_t>(count); ++i) {
      const Batch::Entry& entry = batch.entries[i];
      m_report.bytes += batch.iovecs[i].iov_len;
      if (entry.isFrame) ++m_report.frames;
      if (entry.endsSample) {
        ++m_report.samples;
        m_report.faults += entry.faults;
      }
    }
    sent += static_cast<std::size_t>(count);
  }
  batch.size = 0;
  m_report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

SendReport StreamSender::Run(const std::atomic<bool>& stop) {
  const SendPacer pacer(m_config.rate);
  // Default timer slack (50 us) would make every paced wake-up late.
  if (pacer.Paced()) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  FrameScheduler scheduler(m_frames.FrameCount(), m_config.faults);
  std::vector<PlannedDatagram> plan;
  auto batch = std::make_unique<Batch>();
  for (std::size_t i = 0; i < kBatchSize; ++i) {
    batch->iovecs[i].iov_base = batch->Buffer(i).data();
    msghdr& header = batch->messages[i].msg_hdr;
    header.msg_name = m_destination.data();
    header.msg_namelen = static_cast<socklen_t>(m_destination.size());
    header.msg_iov = &batch->iovecs[i];
    header.msg_iovlen = 1;
  }

  m_report = SendReport{};
  m_start = std::chrono::steady_clock::now();
  std::uint32_t sampleId = m_config.firstSampleId;
  for (std::uint64_t sampleIndex = 0; m_config.samples == 0 || sampleIndex < m_config.samples; ++sampleIndex) {
    if (stop.load(std::memory_order_relaxed)) break;
    const FaultCounters faults = scheduler.PlanSample(sampleIndex, sampleId, plan);
    if (plan.empty()) {  // fault injection dropped every frame
      ++m_report.samples;
      m_report.faults += faults;
    }
    for (std::size_t i = 0; i < plan.size() && !stop.load(std::memory_order_relaxed); ++i) {
      if (pacer.Paced()) {
        const auto due = m_start + pacer.Offset(sampleIndex, i, plan.size());
        if (due > std::chrono::steady_clock::now()) {
          Flush(*batch, stop);
          SleepUntil(due);
        }
      }
      const PlannedDatagram& datagram = plan[i];
      const bool leader = datagram.kind == DatagramKind::Frame && datagram.frameId == 1;
      const double timestamp = leader && m_config.extendedInfo ? SecondsSinceEpoch() : 0.0;
      batch->iovecs[batch->size].iov_len = RenderDatagram(m_frames, datagram, batch->Buffer(batch->size), timestamp);
      batch->entries[batch->size] = {datagram.kind == DatagramKind::Frame, i + 1 == plan.size(), faults};
      if (++batch->size == kBatchSize) Flush(*batch, stop);
    }
    ++sampleId;
  }
  Flush(*batch, stop);
  return m_report;
}

}  // namespace korv::vexasim
