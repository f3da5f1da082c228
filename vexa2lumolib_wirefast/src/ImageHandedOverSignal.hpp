// Wakes the gateway's sender as soon as the gateway has handed an image
// over. Internal to the library.
#pragma once

#include "korv/vexatools/lumopublish/HandOver.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {

// One signal for the library, paired with its ring.
inline lumopublish::ImageSignal& ImageHandedOverSignal() {
  static lumopublish::ImageSignal signal;
  return signal;
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
