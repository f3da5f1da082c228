// Helpers for the reception library's tests: a receiver
// subclass that records its hook calls, and a thread that runs it. The UDP
// sender, the free-port finder and the log capture come from the shared
// test support.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/loglevel.h>

#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/VexaReceiver.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"
#include "vexatools/testsupport/Network.hpp"

namespace vexatest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
inline constexpr auto kTimeout = 10s;

using vexatools::testsupport::CapturedRecord;
using vexatools::testsupport::LoggerCapture;
using vexatools::testsupport::FreeUdpPort;
using vexatools::testsupport::UdpSender;

enum class Hook { Leader, Payload, Trailer, Lost, WrongFrame };

// A hook call and what the receiver showed during it.
struct HookCall {
  Hook hook;
  std::uint32_t currentSampleId;
  std::uint32_t sampleId;
  int framesInSample;
  std::uint64_t packetsReceived;
  std::uint64_t framesExpected;
  std::uint32_t frameSampleId = 0;  // payload frames only
  std::uint16_t frameId = 0;        // payload frames only
  std::uint16_t payloadSize = 0;    // payload frames only
};

// The hook sequence as text, e.g. "L P P T": easy to compare and to read.
std::string Sequence(const std::vector<HookCall>& calls);

class RecordingReceiver : public korv::vexatools::VexaReceiver {
 public:
  // Geometry of the test stream: 100 x 100 x 2 bytes, five frames a sample.
  static constexpr int kWidth = 100, kHeight = 100, kBytesPerPixel = 2;

  explicit RecordingReceiver(int port, std::string address = "127.0.0.1", std::string networkInterface = "");

  // Called on the receiver thread after each call is recorded; may stop or throw.
  std::function<void(RecordingReceiver&, const HookCall&)> onHook;

  std::vector<HookCall> Calls() const;
  bool WaitForCalls(std::size_t count) const;
  bool WaitUntilArmed() const;

  int FramesInSample() const { return m_framesInSample; }
  double& LastIncompleteLogTime() { return m_lastIncompleteLogTime; }
  double& LastWrongSampleLogTime() { return m_lastWrongSampleLogTime; }
  std::uint64_t PacketsReceived() const { return m_packetsReceived; }
  std::uint64_t FramesExpected() const { return m_framesExpected; }
  boost::asio::ip::udp::endpoint LocalEndpoint() const { return m_socket.local_endpoint(); }
  const std::string& Address() const { return m_address; }
  unsigned short Port() const { return static_cast<unsigned short>(m_port); }

  void Wait() override;

 protected:
  void HandleLeaderPacket() override { Record(Hook::Leader, nullptr); }
  void HandlePayloadPacket(plexoif::plexoPacketBase<8940>& packet) override { Record(Hook::Payload, &packet); }
  void HandleTrailerPacket() override { Record(Hook::Trailer, nullptr); }
  void HandleLostPackets() override { Record(Hook::Lost, nullptr); }
  void HandleWrongFrameId() override { Record(Hook::WrongFrame, nullptr); }

 private:
  void Record(Hook hook, const plexoif::plexoPacketBase<8940>* packet);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<HookCall> m_calls;
  bool m_armed = false;
};

// Runs StartReceiver on a thread of its own; stops and joins on destruction.
class ReceiverThread {
 public:
  // `address` and `port` are where a wake-up datagram reaches the receiver.
  ReceiverThread(korv::vexatools::VexaReceiver& receiver, std::string address, unsigned short port);
  explicit ReceiverThread(RecordingReceiver& receiver)
      : ReceiverThread(receiver, receiver.Address(), receiver.Port()) {}
  ~ReceiverThread();
  ReceiverThread(const ReceiverThread&) = delete;
  ReceiverThread& operator=(const ReceiverThread&) = delete;

  // True once StartReceiver has returned or thrown.
  bool WaitFinished(std::chrono::milliseconds timeout = kTimeout) const;
  std::exception_ptr Error() const;

 private:
  korv::vexatools::VexaReceiver& m_receiver;
  std::string m_address;
  unsigned short m_port;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_finished = false;
  std::exception_ptr m_error;
  std::thread m_thread;
};

// Frames of the test stream.
korv::vexasim::SampleFrames TestFrames(bool extendedInfo = false);

}  // namespace vexatest
