// Wakes the gateway's sender as soon as the gateway has handed an image over,
// so that a sender without a publishing interval sleeps while idle instead
// of polling. The ring stays the only hand-over of images: the signal only
// says when to look. Internal to the library.
#pragma once

#include <semaphore>

namespace korv::vexatools::vexa2lumolib_wirefast {

std::counting_semaphore<>& ImageHandedOverSignal();

}  // namespace korv::vexatools::vexa2lumolib_wirefast
