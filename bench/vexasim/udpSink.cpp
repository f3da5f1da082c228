// A plain recvmmsg sink for the simulator benchmark: counts the datagrams
// and bytes that reach a UDP port on loopback, nothing else.
//
//   vexasimBenchSink PORT_FILE [IDLE_SECONDS [RCVBUF_BYTES]]
// Binds 127.0.0.1 on an ephemeral port and writes the port number to
// PORT_FILE. Asks for a receive buffer of RCVBUF_BYTES (default 64 MiB; 0
// keeps the system default). Ends IDLE_SECONDS (default 1) after the last datagram, or on
// SIGINT/SIGTERM, and prints one line:
//   datagrams=N bytes=B seconds=S rcvbuf=R
// where seconds spans the first to the last datagram and rcvbuf is the socket
// receive buffer the kernel granted (net.core.rmem_max caps the request).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

constexpr std::size_t kBatch = 64;
constexpr std::size_t kDatagramRoom = 9600;
constexpr int kDefaultReceiveBuffer = 64 * 1024 * 1024;
constexpr int kMaxRunSeconds = 300;

std::atomic<bool> stopRequested{false};
extern "C" void RequestStop(int) { stopRequested = true; }

int Fail(const char* what) {
  std::perror(what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT_FILE [IDLE_SECONDS [RCVBUF_BYTES]]\n", argv[0]);
    return 1;
  }
  const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  const int requestedReceiveBuffer = argc > 3 ? std::atoi(argv[3]) : kDefaultReceiveBuffer;
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return Fail("socket");
  if (requestedReceiveBuffer > 0) {
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &requestedReceiveBuffer, sizeof requestedReceiveBuffer);
  }
  int granted = 0;
  socklen_t grantedSize = sizeof granted;
  getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fail("bind");
  socklen_t addressSize = sizeof address;
  getsockname(sock, reinterpret_cast<sockaddr*>(&address), &addressSize);
  {
    std::ofstream portFile(argv[1]);
    portFile << ntohs(address.sin_port) << std::endl;
  }

  std::vector<unsigned char> buffers(kBatch * kDatagramRoom);
  std::array<iovec, kBatch> iovecs{};
  std::array<mmsghdr, kBatch> messages{};
  for (std::size_t i = 0; i < kBatch; ++i) {
    iovecs[i] = {buffers.data() + i * kDatagramRoom, kDatagramRoom};
    messages[i].msg_hdr.msg_iov = &iovecs[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  Clock::time_point first, last;
  unsigned long long datagrams = 0, bytes = 0;
  while (!stopRequested) {
    const auto now = Clock::now();
    if (now - started > std::chrono::seconds(kMaxRunSeconds)) break;
    if (datagrams > 0 && std::chrono::duration<double>(now - last).count() > idleSeconds) break;
    pollfd ready{sock, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    const int count = recvmmsg(sock, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) continue;
    last = Clock::now();
    if (datagrams == 0) first = last;
    datagrams += static_cast<unsigned>(count);
    for (int i = 0; i < count; ++i) bytes += messages[i].msg_len;
  }
  std::printf("datagrams=%llu bytes=%llu seconds=%.6f rcvbuf=%d\n", datagrams, bytes,
              std::chrono::duration<double>(last - first).count(), granted);
  close(sock);
  return 0;
}
