// Helpers shared by the tests of the image publishing library and of the
// publisher tool: image checks, reading a subscriber, the sender's hand-over
// objects put back between tests, the application logger's records.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "lumo/LumoDataSubscriber.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"

namespace vexa2lumotest {

using namespace std::chrono_literals;

// The sample id (mod 256) of an image whose every byte follows the
// simulator's pattern, or nothing when a byte does not.
std::optional<std::uint32_t> PatternSampleId(std::span<const std::uint8_t> pixels);

// Reads one image within `timeout`.
std::optional<lumo::LumoSample> ReadImage(lumo::LumoDataSubscriber& subscriber, std::chrono::milliseconds timeout);

// Empties LumoSender's ring and clears its flags.
void ResetHandOver();

// Records what the application logger writes at DEBUG and above, and keeps
// it off the console.
class AppLogCapture : public vexatools::testsupport::LoggerCapture {
 public:
  AppLogCapture();
  ~AppLogCapture();
};

}  // namespace vexa2lumotest
