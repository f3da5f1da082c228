// Control requests through the broker's stream directory, as the broker
// hands them over: each request is a count byte (frames, and how far the
// clock moves on) and that many records. A frame "$TOKEN" stands for the
// token of the last successful registration, so that heartbeats and
// unregistrations of real streams are reached. Every request gets a reply,
// and the directory stays within its limit.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "FuzzLogging.hpp"
#include "StreamDirectory.hpp"
#include "lumo/LumoWire.hpp"

namespace {

using lumo::broker::StreamDirectory;
constexpr std::size_t kMaxStreams = 8;
// Frames the broker passes on from one request (routing id and delimiter
// aside); a request with more becomes one frame of its own.
constexpr std::size_t kMaxRequestFrames = 5;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexafuzz::FormatAndDiscard(log4cplus::Logger::getInstance("lumoBroker"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StreamDirectory directory(std::chrono::milliseconds(1000), kMaxStreams, log4cplus::Logger::getInstance("lumoBroker"));
  vexafuzz::RecordReader input(data, size);
  auto now = StreamDirectory::Clock::time_point{} + std::chrono::hours(1);
  std::string lastToken;
  constexpr const char* kPeers[] = {"127.0.0.1", "", "::1", "10.1.2.3"};
  while (!input.empty()) {
    const std::uint8_t control = input.Byte();
    const std::size_t frameCount = control & 7;
    now += std::chrono::milliseconds(100 * ((control >> 3) & 15));
    const char* peer = kPeers[control >> 7 ? 1 + (frameCount & 1) : 0];
    StreamDirectory::Frames request;
    for (std::size_t i = 0; i < frameCount; ++i) {
      const auto record = input.Next();
      if (!record) break;
      std::string frame(record->begin(), record->end());
      if (frame == "$TOKEN") frame = lastToken;
      request.push_back(std::move(frame));
    }
    if (request.size() > kMaxRequestFrames) request = {"(too many frames)"};
    const auto reply = directory.Handle(request, peer, now);
    VEXA_FUZZ_CHECK(!reply.empty() && (reply[0] == "OK" || reply[0] == "ERROR"));
    VEXA_FUZZ_CHECK(directory.size() <= kMaxStreams);
    VEXA_FUZZ_CHECK(reply.size() <= lumo::kMaxListNames + 1);
    if (!request.empty() && request[0] == "REGISTER" && reply[0] == "OK") lastToken = reply.at(1);
  }
  return 0;
}
