#include "TestSupport.hpp"

namespace vexatest {

std::string Sequence(const std::vector<HookCall>& calls) {
  std::string text;
  for (const HookCall& call : calls) {
    if (!text.empty()) text += ' ';
    constexpr const char* kNames[] = {"L", "P", "T", "Lost", "W"};
    text += kNames[static_cast<int>(call.hook)];
  }
  return text;
}

RecordingReceiver::RecordingReceiver(int port, std::string address, std::string networkInterface)
    // A deep socket buffer, so that a burst of test frames is never dropped.
    : VexaReceiver(std::move(address), port, std::move(networkInterface), kWidth, kHeight, kBytesPerPixel, 20) {}

void RecordingReceiver::Record(Hook hook, const plexoif::plexoPacketBase<8940>* packet) {
  HookCall call{hook, GetCurrentSampleId(), m_sampleId, m_framesInSample, m_packetsReceived, m_framesExpected};
  if (packet != nullptr) {
    call.frameSampleId = packet->GetSampleId();
    call.frameId = packet->GetFrameId();
    call.payloadSize = packet->GetPayloadSize();
  }
  {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(call);
  }
  m_changed.notify_all();
  if (onHook) onHook(*this, call);
}

void RecordingReceiver::Wait() {
  VexaReceiver::Wait();
  {
    std::lock_guard lock(m_mutex);
    m_armed = true;
  }
  m_changed.notify_all();
}

std::vector<HookCall> RecordingReceiver::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

bool RecordingReceiver::WaitForCalls(std::size_t count) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, kTimeout, [&] { return m_calls.size() >= count; });
}

bool RecordingReceiver::WaitUntilArmed() const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, kTimeout, [&] { return m_armed; });
}

ReceiverThread::ReceiverThread(korv::vexatools::VexaReceiver& receiver, std::string address, unsigned short port)
    : m_receiver(receiver), m_address(std::move(address)), m_port(port), m_thread([this] {
        std::exception_ptr error;
        try {
          m_receiver.StartReceiver();
        } catch (...) {
          error = std::current_exception();
        }
        {
          std::lock_guard lock(m_mutex);
          m_finished = true;
          m_error = error;
        }
        m_changed.notify_all();
      }) {}

ReceiverThread::~ReceiverThread() {
  // A stop that comes before the loop runs only keeps the next datagram from
  // re-arming the receive: send one until the run has returned.
  UdpSender wake(m_address, m_port);
  const unsigned char byte = 0;
  for (int attempt = 0; attempt < 100 && !WaitFinished(std::chrono::milliseconds(attempt == 0 ? 0 : 100)); ++attempt) {
    m_receiver.StopReceiver();
    wake.Send({&byte, 1});
  }
  m_thread.join();
}

bool ReceiverThread::WaitFinished(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_finished; });
}

std::exception_ptr ReceiverThread::Error() const {
  std::lock_guard lock(m_mutex);
  return m_error;
}

korv::vexasim::SampleFrames TestFrames(bool extendedInfo) {
  korv::vexasim::SampleLayout layout;
  layout.width = RecordingReceiver::kWidth;
  layout.height = RecordingReceiver::kHeight;
  layout.bytesPerPixel = RecordingReceiver::kBytesPerPixel;
  layout.dataType = 0x10;
  layout.extendedInfo = extendedInfo;
  return korv::vexasim::SampleFrames(layout);
}

}  // namespace vexatest
