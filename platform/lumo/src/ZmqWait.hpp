// The one way LUMO code waits for a ZeroMQ socket to become readable.
#pragma once

#include <zmq.hpp>

#include <cerrno>
#include <chrono>

namespace lumo::detail {

// True when `socket` has a message to read within `timeout`. A signal that
// interrupts the wait gives false, so that the caller's loop looks at its
// stop flag and deadline again.
inline bool WaitReadable(zmq::socket_t& socket, std::chrono::milliseconds timeout) {
  zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
  try {
    return zmq::poll(&item, 1, timeout) > 0;
  } catch (const zmq::error_t& error) {
    if (error.num() != EINTR) throw;
    return false;
  }
}

}  // namespace lumo::detail
