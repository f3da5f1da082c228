// Reads the receiver's datagrams off its socket and hands them to it one at
// a time, in arrival order: queued datagrams in batches (recvmmsg), a paced
// stream by waiting in the receive call itself, a paused one by the event
// loop's readable wait.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <array>
#include <vector>

#include "SampleTracker.hpp"
#include "korv/vexatools/VexaReceiver.hpp"

namespace korv::vexatools {

class VexaReceiver::DatagramReader {
 public:
  explicit DatagramReader(VexaReceiver& receiver);

  // Bounds the wait in the receive call; the socket stays blocking.
  void SetUpSocket();
  // Asks for the next datagram: inside a drain only notes the wish, else
  // arms the event loop's readable wait.
  void Wait();
  // Where a datagram handed to ReceivePacket in m_receiveBuffer is handled.
  ReceiveSlot& SingleSlot() { return m_single; }

 private:
  // Datagrams read by one recvmmsg. The batch is sized to a typical socket
  // buffer's worth of full frames (about 25 at Linux's default cap), so that
  // after a stall one call takes most of what queued up.
  static constexpr unsigned kCapacity = 32;
  // How long the event-loop thread waits for the next datagram in the
  // receive call itself before it leaves the wait to the event loop.
  static constexpr timeval kWaitInReceive{0, 50'000};
  // Datagrams handed on in one turn of the event loop, so that other work
  // queued on it (a subclass's timers) still runs under a steady stream.
  static constexpr unsigned kDatagramsPerTurn = 1024;
  // Waits that read one datagram with recv rather than a batch, once a
  // batch read that waited brought only one.
  static constexpr unsigned kSingleReads = 7;

  void ArmReadableWait();
  void Drain();
  bool FillBatch();
  int ReadDatagrams();

  VexaReceiver& m_receiver;
  std::vector<ReceiveSlot> m_slots;
  std::array<iovec, kCapacity> m_vectors{};
  std::array<mmsghdr, kCapacity> m_messages{};
  unsigned m_count = 0;  // datagrams read by the last recvmmsg
  unsigned m_next = 0;   // the next of them to hand on
  // The last read left the socket empty: the next one waits in the call.
  bool m_waitInNextRead = false;
  unsigned m_singleReadsLeft = 0;
  // True while Drain hands datagrams on; Wait() then only asks for the next.
  bool m_draining = false;
  bool m_nextDatagramWanted = false;
  ReceiveSlot m_single;
};

}  // namespace korv::vexatools
