// Receives the PLEXO frames of a VEXA sample stream on one UDP socket with its
// own event loop, assembles samples and hands them to a subclass through
// virtual hooks.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <log4cplus/logger.h>

#include "korv/fnd/LogThrottle.hpp"
#include "korv/vexatools/Export.hpp"
#include "korv/vexatools/ReceptionStatistics.hpp"
#include "plexoif/plexoPacket.hpp"

namespace sorelif {
class sorelLeaderPacket;
}

namespace korv::vexatools {

class SampleTracker;
struct ReceiveSlot;

class KORV_VEXATOOLS_EXPORT VexaReceiver {
 public:
  // Larger than the largest frame (8972 bytes), so that an oversize datagram
  // arrives whole enough to be recognised and dropped.
  static constexpr std::size_t kReceiveBufferSize = 9600;
  // Value of m_framesExpected and m_packetsReceived while no sample is announced.
  static constexpr std::uint64_t kNoSample = ~std::uint64_t{0};
  // What the kernel charges against the socket receive buffer for one full
  // 8972-byte datagram (its truesize), measured on loopback: the data in a
  // 16 KiB allocation plus the packet's bookkeeping.
  static constexpr std::uint64_t kBufferChargePerDatagram = 16640;

  // Receive buffer, as the kernel counts it, in which `bufferedSamples`
  // images of `imageBytes` bytes fit when they travel in full frames.
  static std::uint64_t ReceiveBufferWanted(int bufferedSamples, int imageBytes);

  // Stores the arguments, creates the event loop and an unopened socket and
  // copies the application logger; no network operation. `bufferedSamples`
  // is the socket receive buffer depth in whole images. Throws
  // std::invalid_argument when the port is outside 0 to 65535, when width,
  // height or bytes per pixel is negative or when their product does not fit
  // in a 32-bit int.
  VexaReceiver(std::string address, int port, std::string networkInterface, int width, int height, int bytesPerPixel,
               int bufferedSamples);
  // Stops a running event loop without waiting for StartReceiver to return:
  // the owner must let it return (join its thread) first.
  virtual ~VexaReceiver();

  VexaReceiver(const VexaReceiver&) = delete;
  VexaReceiver& operator=(const VexaReceiver&) = delete;

 protected:
  // Hooks, called on the event-loop thread inside ReceivePacket, one at a
  // time, before the next receive is armed. They may read the getters and
  // protected fields, call StopReceiver() and throw. They do nothing here.
  virtual void HandleLeaderPacket();
  // `packet` is a frame of the sample being assembled, valid during the call.
  virtual void HandlePayloadPacket(plexoif::plexoPacketBase<8940>& packet);
  virtual void HandleTrailerPacket();
  virtual void HandleLostPackets();
  virtual void HandleWrongFrameId();
  // The frame being handled, for the hooks that are not given it: the leader
  // in HandleLeaderPacket, the trailer in HandleTrailerPacket, the trailer
  // or leader that reports a loss in HandleLostPackets. Valid only while a
  // hook runs.
  const plexoif::plexoPacketBase<8940>& CurrentFrame() const { return *m_currentFrame; }
  // The leader of CurrentFrame(), parsed once as it arrived: valid only
  // while HandleLeaderPacket runs.
  const sorelif::sorelLeaderPacket& CurrentLeader() const;
  // For a subclass that assembles samples itself, called in
  // HandleTrailerPacket or HandleLostPackets at the sample's own trailer:
  // whether the sample came out complete, and if not how many frames it
  // lacks. The statistics then count the sample as the subclass found it,
  // not by the number of frames that arrived (repeats and junk included).
  void ReportSampleOutcome(bool complete, std::uint64_t framesMissing);
  // Counts a frame a subclass dropped because it contradicts the sample it
  // names (a payload frame that does not fit the image) as junk.
  void CountJunkFrame();

 public:
  // Asks for the next datagram, handled on the event-loop thread. Called
  // once at start and after each datagram while reception goes on. Queued
  // datagrams are read in batches and handed on one by one. When the socket
  // has none left, the event-loop thread waits for the next in the receive
  // call itself, for up to 50 ms; only a longer pause leaves the wait to the
  // event loop. Other work queued on m_ioContext runs between turns of at
  // most 1024 datagrams and during such pauses.
  virtual void Wait();

  // Opens, binds and configures the socket, joins a multicast group, arms
  // the first receive and runs the event loop on the calling thread until
  // reception ends. Throws (after logging) if set-up fails or an exception
  // leaves a handler or hook. Callable once per object.
  void StartReceiver();
  // Callable from any thread, also from a hook, at any moment: no further
  // receive is armed, the socket is shut down for reading (which wakes a
  // waiting receive) and a running event loop is stopped. A stop before or
  // during StartReceiver's set-up makes it return without waiting for a
  // datagram.
  void StopReceiver();

  // Handles a receive's outcome for the datagram of `bytes` bytes in
  // m_receiveBuffer: classifies the frame, keeps the counters, calls the
  // hooks and re-arms. Datagrams read in batches take the same path.
  void ReceivePacket(const boost::system::error_code& error, std::size_t bytes);

  // True once StartReceiver has set the socket up and runs the event loop,
  // until StopReceiver; from any thread.
  bool IsRunning() const { return m_running; }

  int GetWidth() const { return m_width; }
  int GetHeight() const { return m_height; }
  // Bytes of one image: width x height x bytes per pixel.
  int GetSize() const;
  // Sample identifier of the most recent leader; all ones before the first.
  std::uint32_t GetCurrentSampleId() const { return m_currentSampleId; }
  // Why reception ended by itself (a receive error, or a leader this
  // receiver cannot take), as logged at ERROR; empty while it runs and after
  // a StopReceiver. Read it after StartReceiver has returned.
  const std::string& GetReceptionEndReason() const { return m_receptionEndReason; }

  // The counters of what arrived and what was lost, from any thread, also
  // while reception runs and after it ended. The socket buffer's drops are
  // read from the kernel at each call.
  ReceptionStatistics GetReceptionStatistics() const;

  // Called once on the receiving thread during StartReceiver, after the
  // WARN, when the receive buffer in force holds fewer samples than asked
  // for; given the WARN's text. Set before StartReceiver.
  void OnReceiveBufferShort(std::function<void(const std::string&)> handler) {
    m_receiveBufferShort = std::move(handler);
  }

  // When no datagram arrives for `limit` (5 s by default) the receiver says
  // so once at WARN, naming group, port and interface, and calls `handler`
  // with that text; again only after datagrams came and stopped anew. A
  // stream that never arrives is otherwise silent: a join on the wrong
  // interface, a switch that does not forward the group, a stopped source.
  // Set before StartReceiver.
  void OnSilence(std::function<void(const std::string&)> handler,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    m_silenceHandler = std::move(handler);
    m_silenceLimit = limit;
  }

 protected:
  std::string m_address;
  int m_port;
  std::string m_networkInterface;
  int m_width;
  int m_height;
  int m_bytesPerPixel;
  std::uint64_t m_framesExpected = kNoSample;
  std::uint64_t m_packetsReceived = kNoSample;
  std::atomic<bool> m_keepReceiving{true};
  int m_bufferedSamples;
  // Wall-clock time (seconds since the epoch) of the last "less packets" and
  // "different sample ID" ERRORs; whether one may be logged is decided on
  // the steady clock, so that a clock stepped back silences nothing.
  double m_lastIncompleteLogTime = 0.0;
  double m_lastWrongSampleLogTime = 0.0;
  std::uint32_t m_currentSampleId = 0xFFFFFFFF;
  std::uint32_t m_sampleId = 0;
  std::atomic<bool> m_running{false};
  boost::asio::io_context m_ioContext;
  boost::asio::ip::udp::socket m_socket;
  std::array<unsigned char, kReceiveBufferSize> m_receiveBuffer;
  boost::asio::ip::udp::endpoint m_senderEndpoint;
  int m_framesInSample = 0;
  log4cplus::Logger m_logger;

 private:
  class DatagramReader;
  class HookEvents;

  void HandleDatagram(ReceiveSlot& slot, std::size_t bytes);
  void SetUpReceiveBuffer();
  void ArmSilenceCheck();
  void CheckSilence();
  std::string SilenceMessage() const;

  // One ERROR a second for each kind of fault that can repeat per datagram.
  korv::fnd::LogThrottle m_incompleteLog;
  korv::fnd::LogThrottle m_wrongSampleLog;
  korv::fnd::LogThrottle m_shortDatagramLog;
  korv::fnd::LogThrottle m_oversizeLog;
  korv::fnd::LogThrottle m_impossibleHeaderLog;
  korv::fnd::LogThrottle m_malformedLeaderLog;
  std::string m_receptionEndReason;
  const plexoif::plexoPacketBase<8940>* m_currentFrame = nullptr;
  // What arrived and was lost, and what each datagram is.
  std::unique_ptr<SampleTracker> m_tracker;
  // Its receive slots, allocated once with the receiver.
  std::unique_ptr<DatagramReader> m_reader;
  // The socket's descriptor once it is open, for reading its drops from any thread.
  std::atomic<int> m_socketHandle{-1};
  // Set by StopReceiver just before it shuts the open socket down.
  std::atomic<bool> m_socketShutDown{false};
  std::function<void(const std::string&)> m_receiveBufferShort;

  // The silence watch: a check on the event-loop thread every fifth of the
  // limit, comparing the datagram counter with the last check's.
  boost::asio::steady_timer m_silenceTimer{m_ioContext};
  std::chrono::milliseconds m_silenceLimit{std::chrono::seconds(5)};
  std::function<void(const std::string&)> m_silenceHandler;
  std::uint64_t m_datagramsAtLastCheck = 0;
  int m_silentChecks = 0;
};

}  // namespace korv::vexatools
