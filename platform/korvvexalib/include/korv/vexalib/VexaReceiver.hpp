// The outside receiver library's sample receiver: receives a VEXA stream of
// PLEXO frames on a thread of its own, assembles whole samples from legacy
// and extended leaders, and hands each complete sample with its extended
// information to the virtual hook HandleSampleUser on a delivery thread of
// its own.
//
// Usage:
//   class MyReceiver : public korv::vexalib::VexaReceiver {
//     void HandleSampleUser(SampleExtInfo& info, std::vector<std::uint8_t>& payload) override;
//   };
//   MyReceiver receiver(address, netif, port, dataType, config);
//   receiver.StartReceiver();   // opens the socket, starts both threads, returns
//   ...
//   receiver.StopReceiver();    // ends both threads; then destroy the receiver
//
// No datagram can crash or stall the receiver: malformed frames are counted
// and dropped, samples that miss frames are counted as incomplete and never
// delivered, and an exception thrown by HandleSampleUser is logged with its
// text and counted, after which delivery goes on with the next sample.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/system/error_code.hpp>

#include "korv/fnd/LogThrottle.hpp"
#include "korv/fnd/datatype/DataType.hpp"

namespace korv::vexalib {

// Whether the Basic Image Info of extended leaders reaches HandleSampleUser.
enum class ExtendedInfoMode : std::int32_t {
  // SampleExtInfo always holds the absent marker; the constructor's data
  // type gives the bytes per pixel of every sample.
  Disabled = 0,
  // SampleExtInfo holds the leader's Basic Image Info when it carries one
  // (else the absent marker), and its data type, when it has a size, gives
  // the bytes per pixel of that sample.
  Enabled = 1,
};

// Settings of a receiver, in the order an application fills them.
struct ReceiverConfig {
  // Socket receive buffer (SO_RCVBUF) requested, in bytes; the kernel caps
  // it at net.core.rmem_max. 0 or less leaves the system default.
  std::int32_t socketReceiveBufferBytes = 16 * 1024 * 1024;
  // Largest sample accepted, in bytes; a leader announcing more is refused
  // and its sample counted as incomplete. It bounds what one leader can make
  // the receiver allocate. 0 or less: width x height x the constructor's
  // data type size when those are known, else kDefaultMaxSampleBytes.
  std::int32_t maxSampleBytes = 0;
  // Only frames whose PLEXO component id equals this are taken; 0 takes all.
  std::uint16_t componentId = 0;
  // Expected geometry. When both are positive, the sample buffers are sized
  // for width x height pixels up front, so the first samples allocate
  // nothing. The leaders decide the size of each sample all the same.
  std::int32_t width = 0;
  std::int32_t height = 0;
  // One DEBUG record per received frame (sample id, frame id, size).
  bool logEveryFrame = false;
  ExtendedInfoMode extendedInfoMode = ExtendedInfoMode::Disabled;

  static constexpr std::int32_t kDefaultMaxSampleBytes = 256 * 1024 * 1024;
};

// Extended information of one delivered sample. The Basic Image Info comes
// first, in the order an extended leader carries it.
struct SampleExtInfo {
  double timestamp = 0.0;  // seconds since 1970-01-01 UTC; 0 in the absent marker
  korv::fnd::datatype::DataType datatype = korv::fnd::datatype::Unspecified;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t offsetX = -1;
  std::int32_t offsetY = -1;
  // Beyond the Basic Image Info: the leader's facts.
  std::uint32_t payloadDataUnits = 0;  // pixels the leader announced
  std::uint16_t extensionLength = 0;   // bytes of extended info (0: legacy leader)

  // The absent marker: no Basic Image Info (legacy leader, an extension too
  // short to carry one, or ExtendedInfoMode::Disabled). A default-constructed
  // SampleExtInfo is the absent marker.
  static SampleExtInfo Absent() { return {}; }
  bool IsAbsent() const {
    return datatype == korv::fnd::datatype::Unspecified && width == 0 && height == 0 && offsetX == -1 &&
           offsetY == -1;
  }
};

// What a receiver has seen so far; readable from any thread.
struct ReceiverCounters {
  std::uint64_t samplesDelivered = 0;   // handed to HandleSampleUser
  std::uint64_t samplesIncomplete = 0;  // announced by a leader, not complete (frame lost or bad, leader refused)
  std::uint64_t samplesDropped = 0;     // not assembled: all delivery slots were in use at their leader
  std::uint64_t framesRejected = 0;     // datagrams that are no well-formed frame, or of another component
  std::uint64_t framesStray = 0;        // well-formed frames of no sample being assembled, or repeated
  std::uint64_t hookFailures = 0;       // HandleSampleUser calls that threw
};

namespace detail {
class SampleAssembler;
struct AssembledSample;
}  // namespace detail

class VexaReceiver {
 public:
  // Samples held at a time: being assembled, waiting for delivery or being
  // delivered. A sample whose leader finds all of them in use is dropped.
  static constexpr int kDeliverySlots = 4;

  // `address`: a multicast group to join, or a unicast address (the socket
  // then binds to all local addresses). `netif`: local interface address
  // for the multicast join; empty lets the system choose. `dataType`: pixel
  // type of samples without usable Basic Image Info. Nothing touches the
  // network before StartReceiver.
  VexaReceiver(const std::string& address, const std::string& netif, int port,
               korv::fnd::datatype::DataType dataType, const ReceiverConfig& config);
  // Stops and joins both threads if StopReceiver was not called. A subclass
  // must call StopReceiver in its own destructor or before, so that no hook
  // runs on a half-destroyed object.
  virtual ~VexaReceiver();

  VexaReceiver(const VexaReceiver&) = delete;
  VexaReceiver& operator=(const VexaReceiver&) = delete;

  // Opens and binds the socket, joins the group and starts the receive and
  // delivery threads; returns at once. Throws boost::system::system_error
  // when the socket cannot be set up, std::logic_error when called twice.
  void StartReceiver();
  // Ends reception and delivery; callable from any thread, repeatedly, also
  // from HandleSampleUser. Called from another thread it returns after both
  // threads have ended; samples waiting for delivery are discarded.
  virtual void StopReceiver();

  // Identifier of the sample being delivered, read during HandleSampleUser.
  std::uint32_t GetSampleId() const { return m_deliveredSampleId; }
  ReceiverCounters GetCounters() const;
  // The local UDP port the socket is bound to (after StartReceiver).
  int GetLocalPort() const { return m_localPort; }

 protected:
  // Called on the delivery thread for each complete sample, one at a time.
  // `payload` holds exactly the sample's pixel bytes. Both arguments stay
  // valid during the call only. The default does nothing.
  virtual void HandleSampleUser(SampleExtInfo& info, std::vector<std::uint8_t>& payload);

 private:
  struct Socket;
  using Sample = detail::AssembledSample;

  void ReceiveLoop();
  void ArmReceive();
  void OnReadable(const boost::system::error_code& error);
  void ReportReceiveFailure(const std::string& reason);
  bool OnOwnThread() const;
  void DeliveryLoop();
  std::unique_ptr<Sample> AcquireSample();
  void QueueForDelivery(std::unique_ptr<Sample> sample);
  void Deliver(Sample& sample);
  void JoinThreads();

  std::string m_address;
  std::string m_netif;
  int m_port;
  ReceiverConfig m_config;
  int m_localPort = 0;

  std::unique_ptr<Socket> m_socket;
  std::unique_ptr<detail::SampleAssembler> m_assembler;

  // Delivery slots: free ones, and complete samples waiting in order.
  std::mutex m_slotMutex;
  std::condition_variable m_slotChanged;
  std::vector<std::unique_ptr<Sample>> m_freeSamples;
  std::deque<std::unique_ptr<Sample>> m_readySamples;
  int m_samplesCreated = 0;
  bool m_stopping = false;

  std::uint32_t m_deliveredSampleId = 0;
  std::atomic<std::uint64_t> m_samplesDelivered{0};
  std::atomic<std::uint64_t> m_samplesDropped{0};
  std::atomic<std::uint64_t> m_hookFailures{0};
  korv::fnd::LogThrottle m_hookFailureLog;

  std::mutex m_lifecycleMutex;
  bool m_started = false;
  std::thread m_receiveThread;
  std::thread m_deliveryThread;
};

}  // namespace korv::vexalib
