// The one way LUMO code waits for ZeroMQ sockets to become readable.
#pragma once

#include <zmq.hpp>

#include <array>
#include <cerrno>
#include <chrono>

namespace lumo::detail {

// True when one of `sockets` has a message to read within `timeout`. A
// signal that interrupts the wait gives false, so that the caller's loop
// looks at its stop flag and deadline again.
template <std::size_t N>
bool WaitReadable(const std::array<zmq::socket_t*, N>& sockets, std::chrono::milliseconds timeout) {
  std::array<zmq::pollitem_t, N> items{};
  for (std::size_t i = 0; i < N; ++i) items[i] = {sockets[i]->handle(), 0, ZMQ_POLLIN, 0};
  try {
    return zmq::poll(items.data(), N, timeout) > 0;
  } catch (const zmq::error_t& error) {
    if (error.num() != EINTR) throw;
    return false;
  }
}

inline bool WaitReadable(zmq::socket_t& socket, std::chrono::milliseconds timeout) {
  return WaitReadable(std::array{&socket}, timeout);
}

}  // namespace lumo::detail
