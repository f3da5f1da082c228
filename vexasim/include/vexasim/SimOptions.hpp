// The command line of the stream simulator.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "korv/fnd/datatype/DataType.hpp"
#include "vexasim/Capture.hpp"
#include "vexasim/FrameScheduler.hpp"

namespace korv::vexasim {

struct SimConfig {
  std::string address = "127.0.0.1";
  int port = 0;
  std::string netif;  // local interface address for multicast; empty: the system's choice
  int width = 0;
  int height = 0;
  korv::fnd::datatype::DataType dataType = korv::fnd::datatype::Int16;
  int bytesPerPixel = 2;
  std::uint64_t samples = 0;  // 0: until interrupted
  double rate = 0.0;          // samples per second; 0: as fast as possible
  std::uint32_t firstSampleId = 1;
  std::optional<int> ttl;     // unset: 1 for multicast, the system default for unicast
  bool extendedInfo = false;
  FaultSettings faults;
  // Replay: send the UDP datagrams of this capture instead of generated samples.
  std::string replayFile;
  double speed = 1.0;   // captured timing divided by this; 0: as fast as possible
  std::string filter;   // BPF expression the replayed packets must match
  // Write the datagrams into this capture file instead of sending them.
  std::string pcapFile;
  CaptureLink pcapLink = CaptureLink::Ethernet;
};

struct ParsedCommandLine {
  std::optional<SimConfig> config;  // set when the simulator should run
  int exitStatus = 0;               // otherwise: 0 after --help or --version, 1 after an error
};

// Reads the command line. Writes the help text to `out`, and errors followed
// by the option description to `err`.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace korv::vexasim
