// Publishes the samples of the outside receiver library on a LUMO stream.
//
// The gateway is a korv::vexalib::VexaReceiver: for each sample the base
// receiver delivers, it decides the image geometry (from the Basic Image
// Info of the sample's extended info, else the configured one), checks the
// payload size against it, copies the payload into a new LumoImage and hands
// it to the sender thread through LumoSender::spsc_queue, raising
// LumoSender::new_data. It keeps delivery statistics.
//
// Application contract (one gateway and one sender per process):
//   1. Construct the gateway, then a LumoSender.
//   2. Run LumoSender::Run() on a thread of its own; call StartReceiver().
//   3. To stop: StopReceiver(), set LumoSender::stopped, join the sender
//      thread; then destroy the sender and the gateway.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexalib/VexaReceiver.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Export.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoImage.hpp"

namespace lumo {
class LumoLogger;
}
namespace korv::fnd {
class LogThrottle;
}

namespace korv::vexatools::vexa2lumolib_wirefast {

// Applications may initialise and read it by position: fields keep their
// order, and new ones go at the end.
struct GatewayStatistics {
  std::uint32_t samples = 0;        // samples forwarded to the sender (a full ring drops the image, not the count)
  std::uint32_t missedSamples = 0;  // gaps in the sample identifiers between forwarded samples
  std::uint64_t bytes = 0;          // payload bytes forwarded
  double elapsedSeconds = 0;        // from the first to the last forwarded sample
  double samplesPerSecond = 0;      // samples / elapsedSeconds
  double minIntervalSeconds = 0;    // between consecutive forwarded samples
  double meanIntervalSeconds = 0;
  double maxIntervalSeconds = 0;
  double stddevIntervalSeconds = 0;  // sample standard deviation; 0 with fewer than two intervals
  std::uint64_t ringDrops = 0;       // images a full ring refused: the sender fell behind
  // Forward jumps of the sample identifier too large for a loss (a forged
  // leader, a source restarted at another number): not in missedSamples.
  std::uint32_t sampleIdJumps = 0;
};

class KORV_VEXA2LUMOLIB_WIREFAST_EXPORT Vexa2LumoGateway : public korv::vexalib::VexaReceiver {
 public:
  // `address`, `netif`, `port` and `dataType` go to the base receiver;
  // `dataType`, `width` and `height` are the configured geometry (width or
  // height below 1, or an Invalid or Unspecified type, mean unknown: samples
  // then need complete Basic Image Info). `configWord`, `configInt` and
  // `extendedInfoMode` go into the receiver configuration (component id
  // filter, largest sample in bytes, extended info use). The LUMO library's
  // logger is configured from `lumoLogPropertyFile`, or from
  // "config/korv/vexalib/log.properties" when it is empty. `storedText1`,
  // `storedText2` and `storedValue` are kept; `ignoredText` is not read.
  Vexa2LumoGateway(const std::string& address, const std::string& netif, int port,
                   korv::fnd::datatype::DataType dataType, int width, int height, const std::string& storedText1,
                   const std::string& storedText2, double storedValue, std::uint16_t configWord,
                   std::int32_t configInt, korv::vexalib::ExtendedInfoMode extendedInfoMode,
                   std::string lumoLogPropertyFile, std::string ignoredText);
  // Stops the base receiver first, so that no sample reaches a gateway
  // being destroyed.
  ~Vexa2LumoGateway() override;

  // Consistent even while samples are being delivered.
  GatewayStatistics GetStatistics() const;

  // True when the current geometry may be used for this sample; adopts the
  // geometry of complete Basic Image Info. Throws std::runtime_error for
  // Basic Image Info with a zero timestamp.
  bool EnsureGeometry(const korv::vexalib::SampleExtInfo& info, std::size_t payloadSize);
  void ResetIntervalStats();
  void UpdateIntervalStats(double intervalMillis);

  // Called by the base receiver on its delivery thread for each sample.
  void HandleSampleUser(korv::vexalib::SampleExtInfo& info, std::vector<std::uint8_t>& payload) override;

 private:
  void ResetIntervalStatsLocked();
  void UpdateIntervalStatsLocked(double intervalMillis);
  void CountForwarded(std::size_t payloadBytes, bool queued);
  void UseFallbackGeometry();

  struct Geometry {
    int width = 0;
    int height = 0;
    korv::fnd::datatype::DataType dataType = korv::fnd::datatype::Unspecified;
    bool operator==(const Geometry&) const = default;
  };

  // The geometry of the sample being handled: from its Basic Image Info, or
  // the configured one for a sample without (or with incomplete) info.
  int width;
  int height;
  korv::fnd::datatype::DataType dataType;
  const Geometry configured;
  Geometry lastFromInfo;  // the last geometry a complete Basic Image Info gave
  std::string storedText1;
  std::string storedText2;
  double storedValue;
  std::unique_ptr<lumo::LumoLogger> lumoLogger;
  bool geometryUsable = false;
  bool missingGeometryLogged = false;
  bool incompleteInfoLogged = false;

  // Statistics, guarded by statisticsMutex.
  mutable std::mutex statisticsMutex;
  std::uint32_t samplesForwarded = 0;
  std::uint32_t missedSamples = 0;
  std::uint32_t sampleIdJumps = 0;
  std::uint32_t lastSampleId = 0;
  std::uint64_t bytesForwarded = 0;
  std::uint64_t ringDrops = 0;
  std::unique_ptr<korv::fnd::LogThrottle> ringDropLog;
  std::int64_t firstSampleTime = 0;  // steady-clock nanoseconds
  std::int64_t lastSampleTime = 0;
  double intervalMin;  // milliseconds
  double intervalMax = 0;
  double intervalSum = 0;
  std::uint64_t intervalCount = 0;
  double intervalMean = 0;
  double intervalM2 = 0;
};

}  // namespace korv::vexatools::vexa2lumolib_wirefast
