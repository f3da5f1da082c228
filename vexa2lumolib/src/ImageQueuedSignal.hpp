// Wakes the sender as soon as the receiver has queued an image. Internal to
// the library.
#pragma once

#include "korv/vexatools/lumopublish/HandOver.hpp"

namespace korv::vexatools {

// One signal for the library, paired with its ring.
inline lumopublish::ImageSignal& ImageQueuedSignal() {
  static lumopublish::ImageSignal signal;
  return signal;
}

}  // namespace korv::vexatools
