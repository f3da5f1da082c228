#include "korv/vexatools/lumopublish/HandOver.hpp"

#include <utility>

namespace korv::vexatools::lumopublish {

bool LateFlag::IsFault() { return !std::exchange(takenAhead, false); }

void ImageSignal::Wait(std::chrono::milliseconds timeout) {
  if (signal.try_acquire_for(timeout)) {
    while (signal.try_acquire()) {
    }
  }
}

}  // namespace korv::vexatools::lumopublish
