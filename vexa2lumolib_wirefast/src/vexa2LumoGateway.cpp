#include "korv/vexatools/vexa2lumolib_wirefast/Vexa2LumoGateway.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "ImageHandedOverSignal.hpp"
#include "IsoTime.hpp"
#include "korv/fnd/LogThrottle.hpp"
#include "korv/vexalib/Logger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"
#include "lumo/LumoLogger.hpp"

// Every gateway message starts with this prefix; built only when the
// record's level is enabled, as an argument of VEXA_LOG_FMT.
#define GATEWAY_LOCATION LocationPrefix(VEXA_SOURCE_LABEL, __LINE__, __func__)

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

namespace dt = korv::fnd::datatype;
using korv::vexalib::SampleExtInfo;

constexpr char kDefaultLumoLogPropertyFile[] = "config/korv/vexalib/log.properties";
constexpr int kLumoLogLevel = 4;
constexpr double kNoIntervalYet = std::numeric_limits<double>::max();
// A forward jump of the sample identifier beyond this many missing samples
// is no loss: over half an hour of samples at 8,000 a second. One forged
// leader could otherwise add billions to missedSamples.
constexpr std::uint32_t kMaxPlausibleGap = 1u << 24;

// Bytes of a width x height image of `bpp`-byte pixels, all ones when the
// product does not fit in 64 bits: the Basic Image Info comes off the
// network, and a product that wraps must not pass for the payload size.
std::uint64_t ExpectedBytes(std::int64_t width, std::int64_t height, int bpp) {
  return ImageBytes(width, height, bpp).value_or(~std::uint64_t{0});
}

bool GeometryKnown(int width, int height, dt::DataType type) {
  return width >= 1 && height >= 1 && type != dt::Invalid && type != dt::Unspecified;
}

korv::vexalib::ReceiverConfig MakeReceiverConfig(std::uint16_t configWord, std::int32_t configInt, int width,
                                                 int height, korv::vexalib::ExtendedInfoMode extendedInfoMode) {
  return korv::vexalib::ReceiverConfig{0x1000000, configInt, configWord, width, height, false, extendedInfoMode};
}

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

log4cplus::Logger& Log() { return korv::vexalib::Logger(); }

}  // namespace

Vexa2LumoGateway::Vexa2LumoGateway(const std::string& address, const std::string& netif, int port,
                                   dt::DataType dataType, int width, int height, const std::string& storedText1,
                                   const std::string& storedText2, double storedValue, std::uint16_t configWord,
                                   std::int32_t configInt, korv::vexalib::ExtendedInfoMode extendedInfoMode,
                                   std::string lumoLogPropertyFile, std::string /*ignoredText*/)
    : VexaReceiver(address, netif, port, dataType,
                   MakeReceiverConfig(configWord, configInt, width, height, extendedInfoMode)),
      width(width),
      height(height),
      dataType(dataType),
      configured{width, height, dataType},
      lastFromInfo{configured},
      storedText1(storedText1),
      storedText2(storedText2),
      storedValue(storedValue),
      ringDropLog(std::make_unique<korv::fnd::LogThrottle>(std::chrono::seconds(10))),
      intervalMin(kNoIntervalYet) {
  geometryUsable = GeometryKnown(width, height, dataType);
  if (!geometryUsable) {
    VEXA_LOG_FMT(Log(), kInfo,
                 "{}: Image size and type unknown -- expect Basic Image Info (timestamp, datatype, width, height, "
                 "offset-x, offset-y) in VEXA Extended Info",
                 GATEWAY_LOCATION);
  }
  lumoLogger = std::make_unique<lumo::LumoLogger>("lumo");
  lumoLogger->Configure(lumoLogPropertyFile.empty() ? kDefaultLumoLogPropertyFile : lumoLogPropertyFile);
  lumoLogger->SetLogLevel(kLumoLogLevel);
}

Vexa2LumoGateway::~Vexa2LumoGateway() { StopReceiver(); }

bool Vexa2LumoGateway::EnsureGeometry(const SampleExtInfo& info, std::size_t payloadSize) {
  const bool absent = info.datatype == dt::Unspecified && info.width == 0 && info.height == 0 &&
                      info.offsetX == -1 && info.offsetY == -1;
  if (absent) {
    incompleteInfoLogged = false;
    UseFallbackGeometry();
  } else {
    if (info.timestamp == 0.0) {
      throw std::runtime_error("Invalid SampleExtInfo info provided: partial basic image info not allowed");
    }
    const int bpp = dt::ElementSize(info.datatype);
    if (info.width > 0 && info.height > 0 && bpp > 0) {
      const std::uint64_t expected = ExpectedBytes(info.width, info.height, bpp);
      if (expected != payloadSize) {
        VEXA_LOG_FMT(Log(), kWarn, "{}: Extended Info reports {}x{} type {} (expected {} bytes) but payload was {} bytes",
                     GATEWAY_LOCATION, info.width, info.height, static_cast<std::uint32_t>(info.datatype), expected,
                     payloadSize);
      }
      const Geometry fromInfo{info.width, info.height, info.datatype};
      if (fromInfo != lastFromInfo) {
        VEXA_LOG_FMT(Log(), kInfo, "{}: Using geometry from VEXA Extended Info: {}x{} type {}", GATEWAY_LOCATION,
                     info.width, info.height, static_cast<std::uint32_t>(info.datatype));
      }
      lastFromInfo = fromInfo;
      width = info.width;
      height = info.height;
      dataType = info.datatype;
      incompleteInfoLogged = false;
    } else {
      if (!incompleteInfoLogged) {
        VEXA_LOG_FMT(Log(), kWarn, "{}: Basic Image Info present but incomplete (width={}, height={}, datatype={}, bpp={}); {}",
                     GATEWAY_LOCATION, info.width, info.height, static_cast<std::uint32_t>(info.datatype), bpp,
                     geometryUsable ? "ignoring and falling back to configured geometry"
                                    : "discarding sample until geometry is known");
        incompleteInfoLogged = true;
      }
      if (!geometryUsable) return false;
      UseFallbackGeometry();
    }
  }
  if (GeometryKnown(width, height, dataType)) {
    geometryUsable = true;
    missingGeometryLogged = false;
    return true;
  }
  geometryUsable = false;
  if (missingGeometryLogged) return false;
  VEXA_LOG_FMT(Log(), kInfo,
               "{}: Image size and type unknown -- expect Basic Image Info (timestamp, datatype, width, height, "
               "offset-x, offset-y) in VEXA Extended Info; discarding sample",
               GATEWAY_LOCATION);
  missingGeometryLogged = true;
  return false;
}

// A sample without usable Basic Image Info takes the configured geometry, so
// that one leader with forged info cannot decide the size of the samples
// after it. Without a configured geometry the last one from info serves.
void Vexa2LumoGateway::UseFallbackGeometry() {
  const Geometry& fallback = GeometryKnown(configured.width, configured.height, configured.dataType) ? configured
                                                                                                    : lastFromInfo;
  width = fallback.width;
  height = fallback.height;
  dataType = fallback.dataType;
}

void Vexa2LumoGateway::HandleSampleUser(SampleExtInfo& info, std::vector<std::uint8_t>& payload) {
  if (!EnsureGeometry(info, payload.size())) return;
  const int bpp = dt::ElementSize(dataType);
  if (bpp == 0) {
    VEXA_LOG_FMT(Log(), kError, "{}: Unsupported data type {}", GATEWAY_LOCATION, static_cast<std::uint32_t>(dataType));
    return;
  }
  const std::uint64_t expected = ExpectedBytes(width, height, bpp);
  if (expected == 0 || expected != payload.size()) {
    VEXA_LOG_FMT(Log(), kError, "{}: Payload size {} bytes does not match expected {} bytes for {}x{} type {}",
                 GATEWAY_LOCATION, payload.size(), expected, width, height, static_cast<std::uint32_t>(dataType));
    return;
  }
  // The one copy of the pixels. The gateway keeps no reference, so that the
  // sender can hand them to the publisher without copying them again.
  const bool queued = LumoSender::spsc_queue.push(std::make_shared<LumoImage>(width, height, bpp, dataType, payload));
  LumoSender::new_data.exchange(true);
  ImageHandedOverSignal().Raise();
  CountForwarded(payload.size(), queued);
}

// An image the full ring refused is lost: counted, and logged at most once
// per 10 seconds with the number dropped since the last message.
void Vexa2LumoGateway::CountForwarded(std::size_t payloadBytes, bool queued) {
  const std::int64_t now = SteadyNowNs();
  const std::uint32_t id = GetSampleId();
  std::lock_guard lock(statisticsMutex);
  if (samplesForwarded == 0) {
    firstSampleTime = now;
    ResetIntervalStatsLocked();
  } else {
    UpdateIntervalStatsLocked(static_cast<double>(now - lastSampleTime) / 1e6);
  }
  lastSampleTime = now;
  // A smaller or equal identifier (repeat, restart, wrap) adds nothing.
  if (samplesForwarded != 0 && lastSampleId + 1 < id) {
    const std::uint32_t gap = id - lastSampleId - 1;
    if (gap > kMaxPlausibleGap) {
      ++sampleIdJumps;
    } else {
      missedSamples += gap;
    }
  }
  lastSampleId = id;
  ++samplesForwarded;
  bytesForwarded += payloadBytes;
  if (queued) return;
  ++ringDrops;
  std::uint64_t dropped = 0;
  if (ringDropLog->Allow(dropped)) {
    VEXA_LOG_FMT(Log(), kWarn,
                 "{}: Image ring to the LUMO sender full: {} image(s) dropped since the last such message (the last: "
                 "sample {})",
                 GATEWAY_LOCATION, dropped, id);
  }
}

void Vexa2LumoGateway::ResetIntervalStats() {
  std::lock_guard lock(statisticsMutex);
  ResetIntervalStatsLocked();
}

void Vexa2LumoGateway::UpdateIntervalStats(double intervalMillis) {
  std::lock_guard lock(statisticsMutex);
  UpdateIntervalStatsLocked(intervalMillis);
}

void Vexa2LumoGateway::ResetIntervalStatsLocked() {
  intervalSum = 0;
  intervalCount = 0;
  intervalMin = kNoIntervalYet;
  intervalMax = 0;
  intervalMean = 0;
  intervalM2 = 0;
}

// Welford's method: running mean and sum of squared deviations.
void Vexa2LumoGateway::UpdateIntervalStatsLocked(double x) {
  if (x < intervalMin) intervalMin = x;
  if (x > intervalMax) intervalMax = x;
  ++intervalCount;
  intervalSum += x;
  const double delta = x - intervalMean;
  intervalMean += delta / static_cast<double>(intervalCount);
  intervalM2 += delta * (x - intervalMean);
}

GatewayStatistics Vexa2LumoGateway::GetStatistics() const {
  std::lock_guard lock(statisticsMutex);
  GatewayStatistics statistics;
  statistics.samples = samplesForwarded;
  statistics.missedSamples = missedSamples;
  statistics.bytes = bytesForwarded;
  statistics.ringDrops = ringDrops;
  statistics.sampleIdJumps = sampleIdJumps;
  if (samplesForwarded != 0 && firstSampleTime != 0 && lastSampleTime != 0) {
    statistics.elapsedSeconds = static_cast<double>(lastSampleTime - firstSampleTime) / 1e9;
    if (statistics.elapsedSeconds > 0) statistics.samplesPerSecond = samplesForwarded / statistics.elapsedSeconds;
  }
  statistics.minIntervalSeconds = intervalMin == kNoIntervalYet ? 0 : intervalMin / 1000;
  if (intervalCount >= 1) statistics.meanIntervalSeconds = intervalSum / static_cast<double>(intervalCount) / 1000;
  if (intervalCount >= 2) {
    statistics.stddevIntervalSeconds = std::sqrt(intervalM2 / static_cast<double>(intervalCount - 1)) / 1000;
  }
  statistics.maxIntervalSeconds = intervalMax / 1000;
  return statistics;
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
