// A bare UDP receiver to set beside vexatoolsVexaReceiver: binds a port on
// all addresses, asks for the same receive buffer, counts datagrams and
// nothing else.
//
//   vexareceiverBenchBare MODE PORT RCVBUF_BYTES EXPECTED_DATAGRAMS
// MODE is "recvfrom" (one call per datagram) or "recvmmsg" (up to 64 per
// call). Ends when EXPECTED_DATAGRAMS arrived or one second after the last
// datagram, and prints: datagrams=N rcvbuf=R
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kBatch = 64;
constexpr std::size_t kDatagramRoom = 9600;  // as VexaReceiver

// Receives what is there, waiting at most the socket's receive timeout.
int ReceiveSome(int sock, bool batched, std::vector<unsigned char>& buffers, std::array<mmsghdr, kBatch>& messages) {
  if (!batched) return recvfrom(sock, buffers.data(), kDatagramRoom, 0, nullptr, nullptr) > 0 ? 1 : 0;
  const int count = recvmmsg(sock, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
  return count > 0 ? count : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s recvfrom|recvmmsg PORT RCVBUF_BYTES EXPECTED_DATAGRAMS\n", argv[0]);
    return 1;
  }
  const bool batched = std::strcmp(argv[1], "recvmmsg") == 0;
  const int port = std::atoi(argv[2]);
  const int requestedBuffer = std::atoi(argv[3]);
  const unsigned long long expected = std::strtoull(argv[4], nullptr, 10);

  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bind");
    return 1;
  }
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &requestedBuffer, sizeof requestedBuffer);
  int granted = 0;
  socklen_t grantedSize = sizeof granted;
  getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize);
  const timeval wait{0, 100000};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  std::vector<unsigned char> buffers(kBatch * kDatagramRoom);
  std::array<iovec, kBatch> iovecs{};
  std::array<mmsghdr, kBatch> messages{};
  for (std::size_t i = 0; i < kBatch; ++i) {
    iovecs[i] = {buffers.data() + i * kDatagramRoom, kDatagramRoom};
    messages[i].msg_hdr.msg_iov = &iovecs[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  auto last = Clock::now();
  unsigned long long datagrams = 0;
  while (datagrams < expected && Clock::now() < deadline) {
    const int count = ReceiveSome(sock, batched, buffers, messages);
    if (count > 0) {
      datagrams += static_cast<unsigned>(count);
      last = Clock::now();
    } else if (datagrams > 0 && Clock::now() - last > std::chrono::seconds(1)) {
      break;
    }
  }
  std::printf("datagrams=%llu rcvbuf=%d\n", datagrams, granted);
  close(sock);
  return 0;
}
