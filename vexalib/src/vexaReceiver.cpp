#include "korv/vexatools/VexaReceiver.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include "DatagramReader.hpp"
#include "ReceiveSocket.hpp"
#include "SampleTracker.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/PacketInfo.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexatools {
namespace {

// Checks of the datagram counter per silence limit: a silence is reported
// between the limit and a fifth more after the last datagram.
constexpr int kSilenceChecksPerLimit = 5;

// Wall-clock seconds since the epoch.
double WallClockSeconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()) / 1e9;
}

// True when `throttle` lets a message through (on the steady clock); then
// also records the wall-clock time in `lastLogTime`, for subclasses, whether
// or not the level is enabled.
bool ThrottleAllows(korv::fnd::LogThrottle& throttle, double& lastLogTime) {
  if (!throttle.Allow()) return false;
  lastLogTime = WallClockSeconds();
  return true;
}

// width x height x bytesPerPixel when every factor is non-negative and the
// product fits in an int; otherwise std::invalid_argument naming the values.
int CheckedImageSize(int width, int height, int bytesPerPixel) {
  const auto bytes = ImageBytes(width, height, bytesPerPixel);
  if (!bytes || *bytes > INT_MAX) {
    throw std::invalid_argument(fmt::format(
        "Invalid image geometry: width {}, height {}, bytes per pixel {}; each must be non-negative and their "
        "product at most {}",
        width, height, bytesPerPixel, INT_MAX));
  }
  return static_cast<int>(*bytes);
}

}  // namespace

VexaReceiver::VexaReceiver(std::string address, int port, std::string networkInterface, int width, int height,
                           int bytesPerPixel, int bufferedSamples)
    : m_address(std::move(address)),
      m_port(port),
      m_networkInterface(std::move(networkInterface)),
      m_width(width),
      m_height(height),
      m_bytesPerPixel(bytesPerPixel),
      m_bufferedSamples(bufferedSamples),
      m_socket(m_ioContext),
      m_senderEndpoint(boost::asio::ip::udp::v4(), 0),
      m_logger(GetAppLogger()),
      m_tracker(std::make_unique<SampleTracker>(
          SampleFields{m_framesExpected, m_packetsReceived, m_framesInSample, m_currentSampleId, m_sampleId})),
      m_reader(std::make_unique<DatagramReader>(*this)) {
  if (port < 0 || port > 65535) {
    throw std::invalid_argument(fmt::format("Invalid UDP port {}: must be between 0 and 65535", port));
  }
  CheckedImageSize(width, height, bytesPerPixel);
}

VexaReceiver::~VexaReceiver() {
  if (m_running) m_ioContext.stop();
}

void VexaReceiver::HandleLeaderPacket() {}
void VexaReceiver::HandlePayloadPacket(plexoif::plexoPacketBase<8940>&) {}
void VexaReceiver::HandleTrailerPacket() {}
void VexaReceiver::HandleLostPackets() {}
void VexaReceiver::HandleWrongFrameId() {}

// The constructor has checked that the product fits.
int VexaReceiver::GetSize() const { return CheckedImageSize(m_width, m_height, m_bytesPerPixel); }

// Asks for a buffer that holds m_bufferedSamples whole samples, and says
// so when the host grants less.
void VexaReceiver::SetUpReceiveBuffer() {
  const ReceiveBufferSize size = SizeReceiveBuffer(m_socket, ReceiveBufferWanted(m_bufferedSamples, GetSize()));
  m_tracker->Counters().receiveBufferWanted.Set(size.wanted);
  m_tracker->Counters().receiveBufferInForce.Set(size.inForce);
  if (size.inForce >= size.wanted) return;
  const std::string message = ReceiveBufferShortMessage(size, m_bufferedSamples);
  VEXA_LOG_STREAM(m_logger, kWarn, message);
  if (m_receiveBufferShort) m_receiveBufferShort(message);
}

void VexaReceiver::StartReceiver() {
  namespace ip = boost::asio::ip;
  try {
    m_socket.open(ip::udp::v4());
    m_socketHandle = m_socket.native_handle();
    m_socket.set_option(boost::asio::socket_base::reuse_address(true));
    const ip::address_v4 address = ip::make_address_v4(m_address);
    const ip::address_v4 bindAddress = address.is_multicast() ? address : ip::address_v4::any();
    BindForReception(m_socket, ip::udp::endpoint(bindAddress, static_cast<unsigned short>(m_port)));
    SetUpReceiveBuffer();
    m_reader->SetUpSocket();
    if (address.is_multicast()) {
      VEXA_LOG_STREAM(m_logger, kInfo, "Using multicast address: " << address.to_string());
      ReceiveOnlyOwnMemberships(m_socket);
      if (!m_networkInterface.empty()) {
        VEXA_LOG_STREAM(m_logger, kInfo, "Using network interface: " << m_networkInterface);
        JoinGroup(m_socket, address, ip::make_address_v4(m_networkInterface));
      } else {
        JoinGroup(m_socket, address, ip::address_v4::any());
      }
    }
    // A stop that came before the loop was marked running is seen here; one
    // that comes after finds it running and stops it, even before it runs.
    m_running = true;
    if (!m_keepReceiving) {
      m_running = false;
      return;
    }
    Wait();
    ArmSilenceCheck();
    m_ioContext.run();
  } catch (const boost::system::system_error& error) {
    VEXA_LOG_STREAM(m_logger, kError, "Failure setting up boost asio: " << error.code().message());
    throw;
  } catch (const std::exception& error) {
    VEXA_LOG_STREAM(m_logger, kError, "General failure: " << error.what());
    throw;
  }
}

// Reception ending by itself cancels the check, so that the event loop runs
// out of work and StartReceiver returns; a stop ends the loop outright.
void VexaReceiver::ArmSilenceCheck() {
  m_silenceTimer.expires_after(std::max(m_silenceLimit / kSilenceChecksPerLimit, std::chrono::milliseconds(1)));
  m_silenceTimer.async_wait([this](boost::system::error_code error) {
    if (error || !m_keepReceiving) return;
    CheckSilence();
    ArmSilenceCheck();
  });
}

// Reported once when a limit's worth of checks in a row found no new
// datagram; any datagram starts the count again.
void VexaReceiver::CheckSilence() {
  const std::uint64_t datagrams = m_tracker->Counters().datagrams.Get();
  if (datagrams != m_datagramsAtLastCheck) {
    m_datagramsAtLastCheck = datagrams;
    m_silentChecks = 0;
    return;
  }
  if (++m_silentChecks != kSilenceChecksPerLimit) return;
  const std::string message = SilenceMessage();
  VEXA_LOG_STREAM(m_logger, kWarn, message);
  if (m_silenceHandler) m_silenceHandler(message);
}

std::string VexaReceiver::SilenceMessage() const {
  const double seconds = std::chrono::duration<double>(m_silenceLimit).count();
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address_v4(m_address, error);
  if (error || !address.is_multicast()) {
    return fmt::format("No datagram for {:g} s on UDP port {}", seconds, m_port);
  }
  return fmt::format("No datagram for {:g} s on {}:{} via {}", seconds, m_address, m_port,
                     m_networkInterface.empty() ? std::string("the default interface") : m_networkInterface);
}

void VexaReceiver::StopReceiver() {
  m_keepReceiving = false;
  // Wakes the event-loop thread if it waits in a receive call: a read from
  // a socket shut down for reading returns at once.
  const int handle = m_socketHandle.load();
  if (handle >= 0) {
    m_socketShutDown = true;
    ::shutdown(handle, SHUT_RD);
  }
  if (m_running.exchange(false)) m_ioContext.stop();
}

void VexaReceiver::Wait() { m_reader->Wait(); }

void VexaReceiver::ReceivePacket(const boost::system::error_code& error, std::size_t bytes) {
  if (error) {
    m_silenceTimer.cancel();
    m_receptionEndReason = "Receive failed: " + error.message();
    VEXA_LOG_STREAM(m_logger, kError, m_receptionEndReason);
    return;
  }
  ReceiveSlot& slot = m_reader->SingleSlot();
  std::copy_n(m_receiveBuffer.begin(), std::min(bytes, kReceiveBufferSize), slot.Bytes());
  HandleDatagram(slot, bytes);
}

// What the tracker reports becomes the receiver's log records and hook calls.
class VexaReceiver::HookEvents final : public SampleEvents {
 public:
  explicit HookEvents(VexaReceiver& receiver) : r(receiver) {}

  void Junk(JunkCause cause, const Frame& frame, std::size_t bytes, const std::string& detail) override {
    switch (cause) {
      case JunkCause::Short:
        if (r.m_shortDatagramLog.Allow()) {
          VEXA_LOG_FMT(r.m_logger, kError, "Datagram of {} bytes is shorter than the {}-byte PLEXO header, dropped",
                       bytes, Frame::kHeaderSize);
        }
        break;
      case JunkCause::Oversize:
        if (r.m_oversizeLog.Allow()) VEXA_LOG_STREAM(r.m_logger, kError, "Input data too large for PLEXO packet");
        break;
      case JunkCause::ImpossibleHeader:
        if (r.m_impossibleHeaderLog.Allow()) {
          VEXA_LOG_FMT(r.m_logger, kError, "Frame {} of {} of sample {} has an impossible header, dropped",
                       frame.GetFrameId(), frame.GetFrameCount(), frame.GetSampleId());
        }
        break;
      case JunkCause::MalformedLeader:
        if (r.m_malformedLeaderLog.Allow()) {
          VEXA_LOG_FMT(r.m_logger, kError, "Malformed leader packet for sample {} ({} payload bytes) dropped: {}",
                       frame.GetSampleId(), frame.GetPayloadSize(), detail);
        }
        break;
    }
  }

  void FrameArrived(const Frame& frame, std::size_t bytes) override {
    VEXA_LOG_FMT(r.m_logger, kDebug,
                 "Packet info - Sample ID: {} - Frame ID: {} - Size: {} - Nb rcv: {} - nb exp: {}",
                 frame.GetSampleId(), frame.GetFrameId(), std::uint64_t{bytes}, r.m_framesInSample,
                 frame.GetFrameCount());
  }

  void LossBeforeLeader() override {
    VEXA_LOG_STREAM(r.m_logger, kDebug,
                    "Packets lost for previous sample! Received: " << r.m_packetsReceived
                                                                    << " - Expected: " << r.m_framesExpected);
    r.HandleLostPackets();
  }

  void LeaderArrived(const Frame& frame) override {
    VEXA_LOG_STREAM(r.m_logger, kDebug, "Received first packet (leader) - sample: " << r.m_sampleId);
    VEXA_LOG_STREAM(r.m_logger, kDebug, "Total number of frames expected: " << frame.GetFrameCount());
  }

  void DescribeLeader(const Frame& frame, const sorelif::sorelLeaderPacket& leader) override {
    sorelif::sorelLeaderPacket described = leader;
    PrintPacketInfo(frame, described, r.m_bytesPerPixel);
  }

  // Reception ends without an exception; the reason is kept.
  void LeaderRefused(const std::string& reason) override {
    VEXA_LOG_STREAM(r.m_logger, kError, reason);
    r.m_silenceTimer.cancel();
    r.m_receptionEndReason = reason;
  }

  void LeaderAccepted() override {
    VEXA_LOG_STREAM(r.m_logger, kDebug, "Creating image data object");
    r.HandleLeaderPacket();
  }

  void Trailer(const Frame& trailer, bool incomplete) override {
    VEXA_LOG_FMT(r.m_logger, kDebug, "Received last packet (trailer) - sample: {}, nb of frames {}, expected {}",
                 r.m_sampleId, r.m_framesInSample, trailer.GetFrameCount());
    if (!incomplete) {
      r.HandleTrailerPacket();
      return;
    }
    if (ThrottleAllows(r.m_incompleteLog, r.m_lastIncompleteLogTime)) {
      VEXA_LOG_FMT(r.m_logger, kError,
                   "Received less packets than expected, this sample will be skipped! sample: {}, nb of packets {}, "
                   "expected {}",
                   r.m_sampleId, r.m_framesInSample, trailer.GetFrameCount());
    }
    r.HandleLostPackets();
  }

  void Payload(Frame& frame) override { r.HandlePayloadPacket(frame); }

  void OtherSampleFrame(const Frame&) override {
    if (ThrottleAllows(r.m_wrongSampleLog, r.m_lastWrongSampleLogTime)) {
      VEXA_LOG_STREAM(r.m_logger, kError, "Received packet with different sample ID, frame will be skipped!");
    }
    r.HandleWrongFrameId();
  }

 private:
  VexaReceiver& r;
};

void VexaReceiver::HandleDatagram(ReceiveSlot& slot, std::size_t bytes) {
  m_currentFrame = &slot.frame;
  HookEvents hooks(*this);
  if (!m_tracker->Take(slot, bytes, hooks)) return;
  if (m_keepReceiving) Wait();
}

const sorelif::sorelLeaderPacket& VexaReceiver::CurrentLeader() const { return m_tracker->Leader(); }

void VexaReceiver::ReportSampleOutcome(bool complete, std::uint64_t framesMissing) {
  m_tracker->ReportSampleOutcome(complete, framesMissing);
}

void VexaReceiver::CountJunkFrame() { m_tracker->CountJunkFrame(); }

}  // namespace korv::vexatools
