#include "korv/vexatools/VexaReceiver.hpp"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/defer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include "korv/fnd/BigEndian.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/PacketInfo.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexatools {
namespace {

using Frame = plexoif::plexoPacketBase<8940>;
constexpr std::size_t kHeaderSize = Frame::kHeaderSize;
constexpr std::size_t kMaxFrameSize = Frame::kCapacity;
// Bytes past the payload that copying a frame takes along (zeroed).
constexpr std::size_t kCopySlack = 2;
static_assert(kMaxFrameSize + kCopySlack <= VexaReceiver::kReceiveBufferSize);
// Image bytes one full frame carries: its payload less the SOREL payload header.
constexpr std::int64_t kImageBytesPerFrame = Frame::kPayloadCapacity - sorelif::kPayloadHeaderSize;
// Checks of the datagram counter per silence limit: a silence is reported
// between the limit and a fifth more after the last datagram.
constexpr int kSilenceChecksPerLimit = 5;
// The largest value SO_RCVBUF and SO_RCVBUFFORCE take; the kernel doubles it.
constexpr std::int64_t kLargestBufferSetting = INT_MAX / 2;

// Wall-clock seconds since the epoch.
double WallClockSeconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()) / 1e9;
}

// True when `throttle` lets a message through (on the steady clock); then
// also records the wall-clock time in `lastLogTime`, for subclasses, whether
// or not the level is enabled.
bool ThrottleAllows(LogThrottle& throttle, double& lastLogTime) {
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

// Binds `socket`; a failure names the address and port, and what a port in
// use means, before the system's own text.
void BindForReception(boost::asio::ip::udp::socket& socket, const boost::asio::ip::udp::endpoint& endpoint) {
  boost::system::error_code error;
  socket.bind(endpoint, error);
  if (!error) return;
  std::string what = fmt::format("cannot receive on UDP {}:{}", endpoint.address().to_string(), endpoint.port());
  if (error == boost::asio::error::address_in_use) {
    what += " (another program holds this port without sharing it: stop it or choose another port)";
  }
  throw boost::system::system_error(error, what);
}

// Joins `group` on the interface with the address `interfaceAddress` (any:
// the system's choice); a failure names both.
void JoinGroup(boost::asio::ip::udp::socket& socket, const boost::asio::ip::address_v4& group,
               const boost::asio::ip::address_v4& interfaceAddress) {
  boost::system::error_code error;
  socket.set_option(boost::asio::ip::multicast::join_group(group, interfaceAddress), error);
  if (!error) return;
  std::string what = fmt::format("cannot join the multicast group {}", group.to_string());
  if (interfaceAddress.is_unspecified()) {
    what += " (no interface routes it: give the interface's address)";
  } else if (error == boost::asio::error::no_such_device) {
    what += fmt::format(" on the interface {}: no local interface has the address {}", interfaceAddress.to_string(),
                        interfaceAddress.to_string());
  } else {
    what += fmt::format(" on the interface {}", interfaceAddress.to_string());
  }
  throw boost::system::system_error(error, what);
}

}  // namespace

// One datagram, received straight into the frame that the hooks are given,
// with room past it so that an oversize datagram arrives whole enough to be
// recognised.
struct VexaReceiver::ReceiveSlot {
  Frame frame;
  unsigned char beyondFrame[kReceiveBufferSize - kMaxFrameSize];

  unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(this); }
};
static_assert(sizeof(plexoif::plexoPacketBase<8940>) == plexoif::plexoPacketBase<8940>::kCapacity);

// Datagrams read by one recvmmsg. The batch is sized to a typical socket
// buffer's worth of full frames (about 25 at Linux's default cap), so that
// after a stall one call takes most of what queued up.
struct VexaReceiver::ReceiveBatch {
  static constexpr unsigned kCapacity = 32;
  // How long the event-loop thread waits for the next datagram in the
  // receive call itself before it leaves the wait to the event loop.
  static constexpr timeval kWaitInReceive{0, 50'000};
  // Datagrams handed on in one turn of the event loop, so that other work
  // queued on it (a subclass's timers) still runs under a steady stream.
  static constexpr unsigned kDatagramsPerTurn = 1024;

  ReceiveBatch() : slots(kCapacity) {
    for (unsigned i = 0; i < kCapacity; ++i) {
      vectors[i] = {slots[i].Bytes(), kReceiveBufferSize};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
  }

  std::vector<ReceiveSlot> slots;
  std::array<iovec, kCapacity> vectors{};
  std::array<mmsghdr, kCapacity> messages{};
  unsigned count = 0;  // datagrams read by the last recvmmsg
  unsigned next = 0;   // the next of them to hand on
  // The last read left the socket empty: the next one waits in the call.
  bool waitInNextRead = false;
  // Waits left that read one datagram with recv rather than a batch.
  static constexpr unsigned kSingleReads = 7;
  unsigned singleReadsLeft = 0;
  // Where a datagram handed to ReceivePacket in m_receiveBuffer is handled.
  ReceiveSlot single;
};

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
      m_batch(std::make_unique<ReceiveBatch>()) {
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

// A sample of n bytes travels as ceil(n / kImageBytesPerFrame) payload
// frames plus leader and trailer, each charged as a full datagram.
std::uint64_t VexaReceiver::ReceiveBufferWanted(int bufferedSamples, int imageBytes) {
  if (bufferedSamples <= 0 || imageBytes < 0) return 0;
  const std::uint64_t payloadFrames = (std::uint64_t(imageBytes) + kImageBytesPerFrame - 1) / kImageBytesPerFrame;
  const std::uint64_t datagramsPerSample = payloadFrames + 2;
  return std::uint64_t(bufferedSamples) * datagramsPerSample * kBufferChargePerDatagram;  // < 2^31 * 2^19 * 2^15
}

// Asks for a buffer that holds m_bufferedSamples whole samples as the kernel
// counts them (it doubles the value set, for its bookkeeping), beyond
// net.core.rmem_max when the process may (SO_RCVBUFFORCE needs
// CAP_NET_ADMIN), then reads back what is in force. A buffer that holds
// fewer samples is the commonest silent cause of loss: it is logged at WARN
// with the sysctl that fixes it.
void VexaReceiver::SetUpReceiveBuffer() {
  const std::uint64_t wanted = ReceiveBufferWanted(m_bufferedSamples, GetSize());
  const int setting = static_cast<int>(std::min<std::int64_t>((wanted + 1) / 2, kLargestBufferSetting));
  if (::setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &setting, sizeof setting) != 0) {
    m_socket.set_option(boost::asio::socket_base::receive_buffer_size(setting));
  }
  // Read directly: boost.asio halves the value it reports on Linux.
  int inForce = 0;
  socklen_t length = sizeof inForce;
  if (::getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &inForce, &length) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category(), "get_option");
  }
  const auto inForceBytes = static_cast<std::uint64_t>(std::max(inForce, 0));
  m_counters.receiveBufferWanted.Set(wanted);
  m_counters.receiveBufferInForce.Set(inForceBytes);
  if (inForceBytes >= wanted) return;

  const std::uint64_t sampleCharge = wanted / static_cast<std::uint64_t>(m_bufferedSamples);
  const std::string message = fmt::format(
      "Socket receive buffer holds {:.2f} of the {} sample(s) asked for: {} bytes in force, {} bytes wanted "
      "({} bytes per {}-byte datagram as the kernel counts it); samples will be lost at full rate. Fix: sysctl "
      "-w net.core.rmem_max={}",
      static_cast<double>(inForceBytes) / static_cast<double>(sampleCharge), m_bufferedSamples, inForceBytes, wanted,
      kBufferChargePerDatagram, kMaxFrameSize, setting);
  VEXA_LOG_STREAM(m_logger, kWarn, message);
  if (m_receiveBufferShort) m_receiveBufferShort(message);
}

// The socket's drop count (SO_MEMINFO): datagrams refused because its
// receive buffer was full, and the few the kernel refuses for a bad checksum.
ReceptionStatistics VexaReceiver::GetReceptionStatistics() const {
  ReceptionStatistics statistics = m_counters.Snapshot();
  const int handle = m_socketHandle.load();
  std::uint32_t memoryInfo[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memoryInfo;
  if (handle >= 0 && ::getsockopt(handle, SOL_SOCKET, SO_MEMINFO, memoryInfo, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
    statistics.socketDrops = memoryInfo[SK_MEMINFO_DROPS];
  }
  return statistics;
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
    // The socket stays blocking: reads that must not wait say MSG_DONTWAIT,
    // and the wait in the receive call is bounded by this timeout.
    if (::setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &ReceiveBatch::kWaitInReceive,
                     sizeof ReceiveBatch::kWaitInReceive) != 0) {
      throw boost::system::system_error(errno, boost::system::system_category(), "set_option");
    }
    if (address.is_multicast()) {
      VEXA_LOG_STREAM(m_logger, kInfo, "Using multicast address: " << address.to_string());
      // Only the group as joined here, on this interface: by default Linux
      // also hands the socket the group's datagrams from every interface on
      // which another program of the host joined it.
      const int onlyOwnMemberships = 0;
      if (::setsockopt(m_socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &onlyOwnMemberships,
                       sizeof onlyOwnMemberships) != 0) {
        throw boost::system::system_error(errno, boost::system::system_category(), "set_option");
      }
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
  const std::uint64_t datagrams = m_counters.datagrams.Get();
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

void VexaReceiver::Wait() {
  if (m_draining) {
    m_nextDatagramWanted = true;
  } else {
    ArmReadableWait();
  }
}

// The event loop's wait makes boost.asio put the socket into non-blocking
// mode; it is put back before the datagrams are read, so that a read can
// wait in the receive call again.
void VexaReceiver::ArmReadableWait() {
  m_socket.async_wait(boost::asio::socket_base::wait_read, [this](boost::system::error_code error) {
    if (!error) m_socket.non_blocking(false, error);
    if (error) {
      ReceivePacket(error, 0);
    } else {
      DrainSocket();
    }
  });
}

// Hands datagrams to the assembly one at a time, in arrival order, for as
// long as each one asks for the next through Wait() and reception goes on.
// A hook that stops reception, or a datagram that ends it, leaves the rest
// unread.
void VexaReceiver::DrainSocket() {
  struct DrainingScope {
    explicit DrainingScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~DrainingScope() { m_flag = false; }
    bool& m_flag;
  } draining(m_draining);

  ReceiveBatch& batch = *m_batch;
  m_nextDatagramWanted = true;
  for (unsigned handled = 0; m_nextDatagramWanted; ++handled) {
    if (handled == ReceiveBatch::kDatagramsPerTurn) {
      boost::asio::defer(m_ioContext, [this] { DrainSocket(); });
      return;
    }
    if (batch.next == batch.count && !FillBatch()) return;
    m_nextDatagramWanted = false;
    const unsigned index = batch.next++;
    HandleDatagram(batch.slots[index], batch.messages[index].msg_len);
  }
}

// Reads the next batch. Once a read has left the socket empty, the next one
// waits for a datagram in the receive call itself, which costs far less per
// wake-up than the event loop's readable wait and keeps a paced stream as
// cheap as a bare blocking receiver. After a bounded wait with nothing (the
// stream paused) the event loop waits instead, so that an idle receiver
// sleeps there. False when there is no batch: the event loop waits, or the
// read failed (reported; reception ends).
bool VexaReceiver::FillBatch() {
  ReceiveBatch& batch = *m_batch;
  batch.count = batch.next = 0;
  for (;;) {
    const int count = ReadDatagrams();
    // What a read returns once StopReceiver has shut the socket down is not
    // handed on, as a receive still outstanding at a stop never completes.
    if (m_socketShutDown) return false;
    if (count > 0) {
      batch.count = static_cast<unsigned>(count);
      batch.waitInNextRead = batch.count < ReceiveBatch::kCapacity;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!batch.waitInNextRead) {
        batch.waitInNextRead = true;
        continue;
      }
      batch.waitInNextRead = false;
      ArmReadableWait();
    } else {
      ReceivePacket(boost::system::error_code(errno, boost::system::system_category()), 0);
    }
    return false;
  }
}

// Reads into the batch and returns how many datagrams came, or -1 with
// errno. A recvmmsg that waits and brings one datagram shows that they come
// one per wake-up; the next seven reads then take one each with a plain
// recv, which is cheaper than a recvmmsg that looks for a second in vain,
// and the eighth is a recvmmsg again, which finds out whether they have
// started to queue up.
int VexaReceiver::ReadDatagrams() {
  ReceiveBatch& batch = *m_batch;
  const int handle = m_socket.native_handle();
  if (batch.waitInNextRead && batch.singleReadsLeft > 0) {
    --batch.singleReadsLeft;
    const ssize_t bytes = ::recv(handle, batch.slots[0].Bytes(), kReceiveBufferSize, 0);
    if (bytes < 0) return -1;
    batch.messages[0].msg_len = static_cast<unsigned>(bytes);
    return 1;
  }
  const int count = ::recvmmsg(handle, batch.messages.data(), ReceiveBatch::kCapacity,
                               batch.waitInNextRead ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
  if (count == 1 && batch.waitInNextRead) batch.singleReadsLeft = ReceiveBatch::kSingleReads;
  return count;
}

void VexaReceiver::ReceivePacket(const boost::system::error_code& error, std::size_t bytes) {
  if (error) {
    m_silenceTimer.cancel();
    m_receptionEndReason = "Receive failed: " + error.message();
    VEXA_LOG_STREAM(m_logger, kError, m_receptionEndReason);
    return;
  }
  ReceiveSlot& slot = m_batch->single;
  std::copy_n(m_receiveBuffer.begin(), std::min(bytes, kReceiveBufferSize), slot.Bytes());
  HandleDatagram(slot, bytes);
}

void VexaReceiver::HandleDatagram(ReceiveSlot& slot, std::size_t bytes) {
  m_counters.datagrams.Add();
  m_counters.bytes.Add(bytes);
  if (bytes < kHeaderSize || bytes > kMaxFrameSize) {
    DropMalformedDatagram(bytes);
  } else if (HandleFrame(slot, bytes) == FrameOutcome::EndReception) {
    return;
  }
  if (m_keepReceiving) Wait();
}

// A datagram without a whole header, or longer than any frame, cannot be
// classified; it is dropped uncounted so that one stray datagram neither
// skews the counters nor ends reception.
void VexaReceiver::DropMalformedDatagram(std::size_t bytes) {
  if (bytes < kHeaderSize) {
    m_counters.junkShort.Add();
    if (m_shortDatagramLog.Allow()) {
      VEXA_LOG_FMT(m_logger, kError, "Datagram of {} bytes is shorter than the {}-byte PLEXO header, dropped", bytes,
                   kHeaderSize);
    }
  } else {
    m_counters.junkOversize.Add();
    if (m_oversizeLog.Allow()) {
      VEXA_LOG_STREAM(m_logger, kError, "Input data too large for PLEXO packet");
    }
  }
}

// A header no sender writes (no frame 0, no sample of fewer than two frames,
// no frame past the sample's count) is junk: taken as a trailer or payload
// frame it would close or skew the sample being assembled. Dropped uncounted.
bool VexaReceiver::DropImpossibleHeader(const plexoif::plexoPacketBase<8940>& frame) {
  const std::uint16_t frameId = frame.GetFrameId();
  const std::uint16_t frameCount = frame.GetFrameCount();
  if (frameId != 0 && frameCount >= 2 && frameId <= frameCount) return false;
  m_counters.junkMalformed.Add();
  if (m_impossibleHeaderLog.Allow()) {
    VEXA_LOG_FMT(m_logger, kError, "Frame {} of {} of sample {} has an impossible header, dropped", frameId,
                 frameCount, frame.GetSampleId());
  }
  return true;
}

// A leader frame whose payload is not a well-formed SOREL leader (too short,
// another packet type, an extension longer than the payload) is junk and is
// dropped before it touches the assembly state. A well-formed leader with
// extended info passes here and is refused later, which ends reception.
bool VexaReceiver::DropMalformedLeader(const plexoif::plexoPacketBase<8940>& frame) {
  try {
    sorelif::sorelExtendedLeaderPacket(frame.GetPayload(), frame.GetPayloadSize());
    return false;
  } catch (const std::exception& error) {
    m_counters.junkMalformed.Add();
    if (m_malformedLeaderLog.Allow()) {
      VEXA_LOG_FMT(m_logger, kError, "Malformed leader packet for sample {} ({} payload bytes) dropped: {}",
                   frame.GetSampleId(), frame.GetPayloadSize(), error.what());
    }
    return true;
  }
}

VexaReceiver::FrameOutcome VexaReceiver::HandleFrame(ReceiveSlot& slot, std::size_t bytes) {
  // The header's payload size is bounded by the bytes that arrived, and the
  // bytes a frame copy takes along past them are zeroed, so that neither the
  // leader parser, a frame copy nor a hook reads bytes that did not arrive.
  const std::size_t receivedPayload = bytes - kHeaderSize;
  unsigned char* payloadSizeField = slot.Bytes() + plexoif::kPayloadSizeOffset;
  if (korv::fnd::LoadBig<std::uint16_t>(payloadSizeField) > receivedPayload) {
    korv::fnd::StoreBig(payloadSizeField, static_cast<std::uint16_t>(receivedPayload));
  }
  std::fill_n(slot.Bytes() + bytes, kCopySlack, 0);
  Frame& frame = slot.frame;
  m_currentFrame = &frame;
  if (DropImpossibleHeader(frame)) return FrameOutcome::Continue;
  if (frame.GetFrameId() == 1 && DropMalformedLeader(frame)) return FrameOutcome::Continue;

  // Saturates instead of overflowing on an endless stream without leaders.
  if (m_framesInSample < INT_MAX) ++m_framesInSample;
  VEXA_LOG_FMT(m_logger, kDebug, "Packet info - Sample ID: {} - Frame ID: {} - Size: {} - Nb rcv: {} - nb exp: {}",
               frame.GetSampleId(), frame.GetFrameId(), std::uint64_t{bytes}, m_framesInSample,
               frame.GetFrameCount());
  if (frame.GetFrameId() == 1) return HandleLeader(frame);
  HandleOtherFrame(frame);
  return FrameOutcome::Continue;
}

VexaReceiver::FrameOutcome VexaReceiver::HandleLeader(plexoif::plexoPacketBase<8940>& frame) {
  const std::uint32_t sampleId = frame.GetSampleId();
  m_currentSampleId = sampleId;
  if (m_framesExpected != kNoSample && m_framesExpected != m_packetsReceived) {
    VEXA_LOG_STREAM(m_logger, kDebug,
                    "Packets lost for previous sample! Received: " << m_packetsReceived
                                                                    << " - Expected: " << m_framesExpected);
    HandleLostPackets();
  }
  // A repeated leader of the sample being assembled is a duplicate, not the
  // end of that sample. Otherwise the sample before this leader never saw its
  // trailer: at least that is missing, even when a trailer of another sample
  // made up the count.
  if (m_sampleState == SampleState::Open && sampleId == m_sampleId && frame.GetFrameCount() == m_framesExpected) {
    m_counters.duplicateLeaders.Add();
  } else if (m_sampleState == SampleState::Open) {
    CountIncompleteSample(m_framesExpected, std::min<std::int64_t>(m_framesInSample - 1, m_framesExpected - 1));
    m_sampleState = SampleState::Closed;
  }
  m_sampleId = sampleId;
  m_otherSampleSeen = false;
  m_packetsReceived = 1;
  m_framesInSample = 1;
  m_framesExpected = frame.GetFrameCount();
  VEXA_LOG_STREAM(m_logger, kDebug, "Received first packet (leader) - sample: " << m_sampleId);
  VEXA_LOG_STREAM(m_logger, kDebug, "Total number of frames expected: " << frame.GetFrameCount());

  try {
    sorelif::sorelLeaderPacket leader(frame.GetPayload(), frame.GetPayloadSize());
    PrintPacketInfo(frame, leader, m_bytesPerPixel);
  } catch (const std::length_error& error) {
    return RefuseLeader(fmt::format(
        "Failed to parse leader packet for sample {} (payload {} bytes): {}. This receiver only supports legacy "
        "leader packets without extended info.",
        sampleId, frame.GetPayloadSize(), error.what()));
  } catch (const std::exception& error) {
    return RefuseLeader(fmt::format("Unexpected error parsing leader packet for sample {}: {}", sampleId,
                                    error.what()));
  }

  m_sampleState = SampleState::Open;
  VEXA_LOG_STREAM(m_logger, kDebug, "Creating image data object");
  HandleLeaderPacket();
  return FrameOutcome::Continue;
}

// Logs why, and puts the counters back to "no sample"; reception ends
// without an exception.
VexaReceiver::FrameOutcome VexaReceiver::RefuseLeader(std::string reason) {
  VEXA_LOG_STREAM(m_logger, kError, reason);
  m_silenceTimer.cancel();
  m_receptionEndReason = std::move(reason);
  m_framesInSample = 0;
  m_framesExpected = kNoSample;
  m_packetsReceived = kNoSample;
  return FrameOutcome::EndReception;
}

void VexaReceiver::HandleOtherFrame(plexoif::plexoPacketBase<8940>& frame) {
  ++m_packetsReceived;
  const std::uint16_t frameCount = frame.GetFrameCount();
  if (frame.GetFrameId() == frameCount) {
    // A trailer closes the sample being assembled, whatever its sample id.
    VEXA_LOG_FMT(m_logger, kDebug, "Received last packet (trailer) - sample: {}, nb of frames {}, expected {}",
                 m_sampleId, m_framesInSample, frameCount);
    const bool incomplete = m_framesInSample < int{frameCount};
    m_reportedOutcome.reset();
    if (incomplete) {
      if (ThrottleAllows(m_incompleteLog, m_lastIncompleteLogTime)) {
        VEXA_LOG_FMT(m_logger, kError,
                     "Received less packets than expected, this sample will be skipped! sample: {}, nb of packets "
                     "{}, expected {}",
                     m_sampleId, m_framesInSample, frameCount);
      }
      HandleLostPackets();
    } else {
      HandleTrailerPacket();
    }
    CountClosedSample(frame, incomplete);
  } else if (frame.GetSampleId() == m_sampleId) {
    HandlePayloadPacket(frame);
  } else {
    m_counters.otherSampleFrames.Add();
    m_otherSampleId = frame.GetSampleId();
    m_otherSampleSeen = true;
    if (ThrottleAllows(m_wrongSampleLog, m_lastWrongSampleLogTime)) {
      VEXA_LOG_STREAM(m_logger, kError, "Received packet with different sample ID, frame will be skipped!");
    }
    HandleWrongFrameId();
    --m_framesInSample;
  }
}

// Counts the sample a trailer closes, once, after the trailer's hook: a
// subclass that assembled the sample may have reported what it found. A
// trailer of another sample than the last leader's stands for a sample whose
// leader never came when frames of that sample arrived; without them it is
// junk, as is a trailer whose frame count is not its leader's. A repeated
// trailer counts nothing.
void VexaReceiver::CountClosedSample(const plexoif::plexoPacketBase<8940>& trailer, bool incomplete) {
  if (trailer.GetSampleId() != m_sampleId) {
    if (m_sampleState == SampleState::NoLeaderYet) return;  // counting starts at the first leader
    if (m_otherSampleSeen && trailer.GetSampleId() == m_otherSampleId) {
      CountIncompleteSample(1, 0);
      m_otherSampleSeen = false;
    } else {
      m_counters.junkMalformed.Add();
    }
  } else if (m_sampleState == SampleState::Open) {
    if (trailer.GetFrameCount() != m_framesExpected) {
      m_counters.junkMalformed.Add();
      return;
    }
    if (m_reportedOutcome) {
      if (m_reportedOutcome->complete) {
        m_counters.completeSamples.Add();
      } else {
        CountIncompleteSample(m_reportedOutcome->framesMissing, 0);
      }
    } else if (incomplete) {
      CountIncompleteSample(trailer.GetFrameCount(), m_framesInSample);
    } else {
      m_counters.completeSamples.Add();
    }
    m_sampleState = SampleState::Closed;
  }
}

void VexaReceiver::ReportSampleOutcome(bool complete, std::uint64_t framesMissing) {
  m_reportedOutcome = ReportedOutcome{complete, framesMissing};
}

void VexaReceiver::CountJunkFrame() { m_counters.junkMalformed.Add(); }

void VexaReceiver::CountIncompleteSample(std::uint64_t framesExpected, std::int64_t framesArrived) {
  m_counters.incompleteSamples.Add();
  const std::uint64_t arrived = framesArrived > 0 ? static_cast<std::uint64_t>(framesArrived) : 0;
  if (framesExpected != kNoSample && framesExpected > arrived) m_counters.framesMissing.Add(framesExpected - arrived);
}

}  // namespace korv::vexatools
