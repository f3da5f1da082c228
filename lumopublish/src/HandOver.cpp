#include "korv/vexatools/lumopublish/HandOver.hpp"

#include <utility>

namespace korv::vexatools::lumopublish {

bool LateFlag::IsFault() { return !std::exchange(m_takenAhead, false); }

void ImageSignal::Wait(std::chrono::milliseconds timeout) {
  if (m_signal.try_acquire_for(timeout)) {
    while (m_signal.try_acquire()) {
    }
  }
}

}  // namespace korv::vexatools::lumopublish
