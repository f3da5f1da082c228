#include "korv/vexalib/VexaReceiver.hpp"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>
#include <log4cplus/loggingmacros.h>

#include "SampleAssembler.hpp"
#include "korv/vexalib/Logger.hpp"

namespace korv::vexalib {
namespace {

namespace ip = boost::asio::ip;

// The configured bound, else the size of the configured geometry, else the
// default: without a bound of its own, a receiver that knows its image size
// refuses leaders announcing more than that.
std::uint64_t MaxSampleBytes(korv::fnd::datatype::DataType dataType, const ReceiverConfig& config) {
  if (config.maxSampleBytes > 0) return static_cast<std::uint64_t>(config.maxSampleBytes);
  const int bytesPerPixel = korv::fnd::datatype::ElementSize(dataType);
  if (config.width > 0 && config.height > 0 && bytesPerPixel > 0) {
    return std::uint64_t(config.width) * std::uint64_t(config.height) * std::uint64_t(bytesPerPixel);
  }
  return ReceiverConfig::kDefaultMaxSampleBytes;
}

detail::AssemblerSettings MakeAssemblerSettings(korv::fnd::datatype::DataType dataType, const ReceiverConfig& config) {
  detail::AssemblerSettings settings;
  settings.dataType = dataType;
  settings.extendedInfoMode = config.extendedInfoMode;
  settings.componentId = config.componentId;
  settings.maxSampleBytes = MaxSampleBytes(dataType, config);
  settings.logEveryFrame = config.logEveryFrame;
  return settings;
}

// The receiver whose thread this is, so that StopReceiver knows when it is
// called from a hook and must not join.
thread_local const VexaReceiver* tl_threadOwner = nullptr;

void NameThisThread(const char* name, const VexaReceiver* owner) {
  pthread_setname_np(pthread_self(), name);
  tl_threadOwner = owner;
}

}  // namespace

// The socket, its event loop and the buffers of one batched read, used by
// the receive thread.
struct VexaReceiver::Socket {
  // Datagrams one read takes: a typical socket buffer's worth of full frames.
  static constexpr unsigned kBatch = 32;
  // Larger than any frame, so that an oversize datagram shows its size.
  static constexpr std::size_t kDatagramBytes = 9600;
  // Datagrams handled before the event loop gets a turn (and sees a stop).
  static constexpr unsigned kDatagramsPerTurn = 1024;

  Socket() : buffers(kBatch * kDatagramBytes) {
    for (unsigned i = 0; i < kBatch; ++i) {
      vectors[i] = {&buffers[i * kDatagramBytes], kDatagramBytes};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
  }
  std::span<const unsigned char> Datagram(unsigned index) const {
    return {&buffers[index * kDatagramBytes], messages[index].msg_len};
  }

  boost::asio::io_context context;
  ip::udp::socket socket{context};
  std::vector<unsigned char> buffers;
  std::array<iovec, kBatch> vectors{};
  std::array<mmsghdr, kBatch> messages{};
};

VexaReceiver::VexaReceiver(const std::string& address, const std::string& netif, int port,
                           korv::fnd::datatype::DataType dataType, const ReceiverConfig& config)
    : m_address(address), m_netif(netif), m_port(port), m_config(config), m_socket(std::make_unique<Socket>()) {
  m_assembler = std::make_unique<detail::SampleAssembler>(MakeAssemblerSettings(dataType, config),
                                                          [this] { return AcquireSample(); });
  const int bytesPerPixel = korv::fnd::datatype::ElementSize(dataType);
  if (config.width > 0 && config.height > 0 && bytesPerPixel > 0) {
    const std::uint64_t expected = std::uint64_t(config.width) * std::uint64_t(config.height) * bytesPerPixel;
    if (expected <= MaxSampleBytes(dataType, config)) {
      for (int i = 0; i < kDeliverySlots; ++i) {
        auto sample = std::make_unique<Sample>();
        sample->payload.reserve(expected);
        m_freeSamples.push_back(std::move(sample));
      }
      m_samplesCreated = kDeliverySlots;
    }
  }
}

VexaReceiver::~VexaReceiver() { JoinThreads(); }

void VexaReceiver::HandleSampleUser(SampleExtInfo&, std::vector<std::uint8_t>&) {}

void VexaReceiver::StartReceiver() {
  std::lock_guard lifecycle(m_lifecycleMutex);
  if (m_started) throw std::logic_error("VexaReceiver::StartReceiver called twice");
  const ip::address_v4 address = ip::make_address_v4(m_address);
  ip::udp::socket& socket = m_socket->socket;
  socket.open(ip::udp::v4());
  socket.set_option(boost::asio::socket_base::reuse_address(true));
  const ip::udp::endpoint local(address.is_multicast() ? address : ip::address_v4::any(),
                                static_cast<unsigned short>(m_port));
  boost::system::error_code error;
  socket.bind(local, error);
  if (error) {
    throw boost::system::system_error(
        error, "cannot receive on UDP " + local.address().to_string() + ":" + std::to_string(local.port()));
  }
  if (m_config.socketReceiveBufferBytes > 0) {
    socket.set_option(boost::asio::socket_base::receive_buffer_size(m_config.socketReceiveBufferBytes));
  }
  if (address.is_multicast()) {
    // Only the group as joined here, on this interface: by default Linux also
    // hands the socket the group's datagrams from every interface on which
    // another program of the host joined it.
    const int onlyOwnMemberships = 0;
    if (::setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &onlyOwnMemberships,
                     sizeof onlyOwnMemberships) != 0) {
      throw boost::system::system_error(errno, boost::system::system_category(), "setsockopt IP_MULTICAST_ALL");
    }
    const ip::address_v4 interface = m_netif.empty() ? ip::address_v4::any() : ip::make_address_v4(m_netif);
    socket.set_option(ip::multicast::join_group(address, interface), error);
    if (error) {
      throw boost::system::system_error(error, "cannot join the multicast group " + address.to_string() +
                                                   " on the interface " + interface.to_string());
    }
  }
  socket.non_blocking(true);
  m_localPort = socket.local_endpoint().port();
  LOG4CPLUS_INFO(Logger(), "Receiving VEXA stream on " << m_address << ":" << m_localPort
                                                       << (m_netif.empty() ? "" : " via " + m_netif));
  m_started = true;
  m_deliveryThread = std::thread([this] { DeliveryLoop(); });
  m_receiveThread = std::thread([this] { ReceiveLoop(); });
}

void VexaReceiver::StopReceiver() {
  {
    std::lock_guard lock(m_slotMutex);
    m_stopping = true;
  }
  m_slotChanged.notify_all();
  m_socket->context.stop();
  if (!OnOwnThread()) JoinThreads();  // from a hook the threads are joined later
}

void VexaReceiver::JoinThreads() {
  {
    std::lock_guard lock(m_slotMutex);
    m_stopping = true;
  }
  m_slotChanged.notify_all();
  m_socket->context.stop();
  std::lock_guard lifecycle(m_lifecycleMutex);
  if (m_receiveThread.joinable()) m_receiveThread.join();
  if (m_deliveryThread.joinable()) m_deliveryThread.join();
}

bool VexaReceiver::OnOwnThread() const { return tl_threadOwner == this; }

ReceiverCounters VexaReceiver::GetCounters() const {
  ReceiverCounters counters;
  counters.samplesDelivered = m_samplesDelivered.load();
  counters.samplesIncomplete = m_assembler->SamplesIncomplete();
  counters.samplesDropped = m_assembler->SamplesWithoutSlot();
  counters.framesRejected = m_assembler->FramesRejected();
  counters.framesStray = m_assembler->FramesStray();
  counters.hookFailures = m_hookFailures.load();
  return counters;
}

void VexaReceiver::ReceiveLoop() {
  NameThisThread("vexa-receive", this);
  try {
    ArmReceive();
    m_socket->context.run();
  } catch (const std::exception& error) {
    LOG4CPLUS_ERROR(Logger(), "Reception ended: " << error.what());
  }
}

// Waits in the event loop until the socket has datagrams.
void VexaReceiver::ArmReceive() {
  m_socket->socket.async_wait(ip::udp::socket::wait_read,
                              [this](const boost::system::error_code& error) { OnReadable(error); });
}

// Reads what is queued in batches, one recvmmsg for up to 32 datagrams
// rather than a receive call each, which leaves more of the host's CPU to
// the delivery and sender threads under a full-rate stream.
void VexaReceiver::OnReadable(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  if (error) return ReportReceiveFailure(error.message());
  Socket& s = *m_socket;
  for (unsigned handled = 0; handled < Socket::kDatagramsPerTurn;) {
    const int count = ::recvmmsg(s.socket.native_handle(), s.messages.data(), Socket::kBatch, MSG_DONTWAIT, nullptr);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (count <= 0) return ReportReceiveFailure(count < 0 ? std::strerror(errno) : "no datagram from a readable socket");
    for (int i = 0; i < count; ++i) {
      if (auto sample = m_assembler->Feed(s.Datagram(static_cast<unsigned>(i)))) QueueForDelivery(std::move(sample));
    }
    handled += static_cast<unsigned>(count);
  }
  ArmReceive();
}

// No datagram causes a receive error; the socket itself has failed.
void VexaReceiver::ReportReceiveFailure(const std::string& reason) {
  LOG4CPLUS_ERROR(Logger(), "Receive failed, reception ended: " << reason);
}

std::unique_ptr<VexaReceiver::Sample> VexaReceiver::AcquireSample() {
  std::lock_guard lock(m_slotMutex);
  if (!m_freeSamples.empty()) {
    auto sample = std::move(m_freeSamples.back());
    m_freeSamples.pop_back();
    return sample;
  }
  if (m_samplesCreated >= kDeliverySlots) return nullptr;
  ++m_samplesCreated;
  return std::make_unique<Sample>();
}

void VexaReceiver::QueueForDelivery(std::unique_ptr<Sample> sample) {
  {
    std::lock_guard lock(m_slotMutex);
    m_readySamples.push_back(std::move(sample));
  }
  m_slotChanged.notify_one();
}

void VexaReceiver::DeliveryLoop() {
  NameThisThread("vexa-deliver", this);
  std::unique_lock lock(m_slotMutex);
  while (true) {
    m_slotChanged.wait(lock, [this] { return m_stopping || !m_readySamples.empty(); });
    if (m_stopping) return;
    std::unique_ptr<Sample> sample = std::move(m_readySamples.front());
    m_readySamples.pop_front();
    lock.unlock();
    Deliver(*sample);
    lock.lock();
    m_freeSamples.push_back(std::move(sample));
  }
}

void VexaReceiver::Deliver(Sample& sample) {
  m_deliveredSampleId = sample.sampleId;
  std::string failure;
  try {
    HandleSampleUser(sample.info, sample.payload);
    m_samplesDelivered.fetch_add(1);
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown exception";
  }
  m_hookFailures.fetch_add(1);
  // At most one record a second: a stream can make every sample fail.
  if (!m_hookFailureLog.Allow()) return;
  LOG4CPLUS_ERROR(Logger(), "HandleSampleUser failed for sample " << sample.sampleId << ": " << failure
                                                                  << "; reception goes on");
}

}  // namespace korv::vexalib
