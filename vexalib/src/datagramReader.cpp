#include "DatagramReader.hpp"

#include <cerrno>

#include <boost/asio/defer.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

namespace korv::vexatools {

VexaReceiver::DatagramReader::DatagramReader(VexaReceiver& receiver) : m_receiver(receiver), m_slots(kCapacity) {
  for (unsigned i = 0; i < kCapacity; ++i) {
    m_vectors[i] = {m_slots[i].Bytes(), kReceiveBufferSize};
    m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
    m_messages[i].msg_hdr.msg_iovlen = 1;
  }
}

// Reads that must not wait say MSG_DONTWAIT; the wait in the receive call is
// bounded by this timeout.
void VexaReceiver::DatagramReader::SetUpSocket() {
  if (::setsockopt(m_receiver.m_socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &kWaitInReceive,
                   sizeof kWaitInReceive) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category(), "set_option");
  }
}

void VexaReceiver::DatagramReader::Wait() {
  if (m_draining) {
    m_nextDatagramWanted = true;
  } else {
    ArmReadableWait();
  }
}

// The event loop's wait makes boost.asio put the socket into non-blocking
// mode; it is put back before the datagrams are read, so that a read can
// wait in the receive call again.
void VexaReceiver::DatagramReader::ArmReadableWait() {
  m_receiver.m_socket.async_wait(boost::asio::socket_base::wait_read, [this](boost::system::error_code error) {
    if (!error) m_receiver.m_socket.non_blocking(false, error);
    if (error) {
      m_receiver.ReceivePacket(error, 0);
    } else {
      Drain();
    }
  });
}

// Hands datagrams on one at a time, in arrival order, for as long as each
// one asks for the next through Wait() and reception goes on. A hook that
// stops reception, or a datagram that ends it, leaves the rest unread.
void VexaReceiver::DatagramReader::Drain() {
  struct DrainingScope {
    explicit DrainingScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~DrainingScope() { m_flag = false; }
    bool& m_flag;
  } draining(m_draining);

  m_nextDatagramWanted = true;
  for (unsigned handled = 0; m_nextDatagramWanted; ++handled) {
    if (handled == kDatagramsPerTurn) {
      boost::asio::defer(m_receiver.m_ioContext, [this] { Drain(); });
      return;
    }
    if (m_next == m_count && !FillBatch()) return;
    m_nextDatagramWanted = false;
    const unsigned index = m_next++;
    m_receiver.HandleDatagram(m_slots[index], m_messages[index].msg_len);
  }
}

// Reads the next batch. Once a read has left the socket empty, the next one
// waits for a datagram in the receive call itself, which costs far less per
// wake-up than the event loop's readable wait and keeps a paced stream as
// cheap as a bare blocking receiver. After a bounded wait with nothing (the
// stream paused) the event loop waits instead, so that an idle receiver
// sleeps there. False when there is no batch: the event loop waits, or the
// read failed (reported; reception ends).
bool VexaReceiver::DatagramReader::FillBatch() {
  m_count = m_next = 0;
  for (;;) {
    const int count = ReadDatagrams();
    // What a read returns once StopReceiver has shut the socket down is not
    // handed on, as a receive still outstanding at a stop never completes.
    if (m_receiver.m_socketShutDown) return false;
    if (count > 0) {
      m_count = static_cast<unsigned>(count);
      m_waitInNextRead = m_count < kCapacity;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!m_waitInNextRead) {
        m_waitInNextRead = true;
        continue;
      }
      m_waitInNextRead = false;
      ArmReadableWait();
    } else {
      m_receiver.ReceivePacket(boost::system::error_code(errno, boost::system::system_category()), 0);
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
int VexaReceiver::DatagramReader::ReadDatagrams() {
  const int handle = m_receiver.m_socket.native_handle();
  if (m_waitInNextRead && m_singleReadsLeft > 0) {
    --m_singleReadsLeft;
    const ssize_t bytes = ::recv(handle, m_slots[0].Bytes(), kReceiveBufferSize, 0);
    if (bytes < 0) return -1;
    m_messages[0].msg_len = static_cast<unsigned>(bytes);
    return 1;
  }
  const int count =
      ::recvmmsg(handle, m_messages.data(), kCapacity, m_waitInNextRead ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
  if (count == 1 && m_waitInNextRead) m_singleReadsLeft = kSingleReads;
  return count;
}

}  // namespace korv::vexatools
