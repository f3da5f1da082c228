// Helpers shared by the gateway library's tests.
#pragma once

#include <memory>
#include <string>

#include "korv/vexalib/Logger.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Vexa2LumoGateway.hpp"

namespace gatewaytest {

namespace dt = korv::fnd::datatype;
using korv::vexalib::ExtendedInfoMode;
using korv::vexalib::SampleExtInfo;
using korv::vexatools::vexa2lumolib_wirefast::LumoImage;
using korv::vexatools::vexa2lumolib_wirefast::LumoSender;
using korv::vexatools::vexa2lumolib_wirefast::Vexa2LumoGateway;

// The hand-over objects are process-wide: every test starts from an empty
// ring and lowered flags.
inline void ResetHandOver() {
  std::shared_ptr<LumoImage> image;
  while (LumoSender::spsc_queue.pop(image)) {
  }
  LumoSender::new_data = false;
  LumoSender::stopped = false;
}

// A gateway on an ephemeral port (not started) with the given configured geometry.
inline std::unique_ptr<Vexa2LumoGateway> MakeGateway(int width, int height, dt::DataType type,
                                                     ExtendedInfoMode mode = ExtendedInfoMode::Enabled) {
  return std::make_unique<Vexa2LumoGateway>("127.0.0.1", "", 0, type, width, height, "", "", 0.0, 0, 0, mode,
                                            VEXALIB_LOG_PROPERTIES, "");
}

// Basic Image Info as an extended leader carries it.
inline SampleExtInfo Info(double timestamp, dt::DataType type, int width, int height) {
  SampleExtInfo info;
  info.timestamp = timestamp;
  info.datatype = type;
  info.width = width;
  info.height = height;
  info.offsetX = 0;
  info.offsetY = 0;
  return info;
}

}  // namespace gatewaytest
