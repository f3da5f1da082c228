// Helpers shared by the tests of the image publishing library and of the
// publisher tool: a broker process, image checks, the sender's hand-over
// objects put back between tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "lumo/LumoDataSubscriber.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace vexa2lumotest {

using namespace std::chrono_literals;

// lumoBroker on a free loopback port with a one-second lease; killed (by its
// PID) when the object goes.
class Broker {
 public:
  Broker();
  const std::string& Uri() const { return m_uri; }

 private:
  std::unique_ptr<vexatools::testsupport::Process> m_process;
  std::string m_uri;
};

// A TCP endpoint on loopback where nothing listens.
std::string DeadBrokerUri();

// The sample id (mod 256) of an image whose every byte follows the
// simulator's pattern, or nothing when a byte does not.
std::optional<std::uint32_t> PatternSampleId(std::span<const std::uint8_t> pixels);

// Reads one image within `timeout`.
std::optional<lumo::LumoSample> ReadImage(lumo::LumoDataSubscriber& subscriber, std::chrono::milliseconds timeout);

// Empties LumoSender's ring and clears its flags.
void ResetHandOver();

}  // namespace vexa2lumotest
