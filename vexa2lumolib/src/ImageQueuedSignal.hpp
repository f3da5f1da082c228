// Wakes the sender as soon as the receiver has queued an image, so that a
// sender without a publishing interval can sleep while idle instead of
// polling. The ring stays the only hand-over of images: the signal only
// says when to look. Internal to the library.
#pragma once

#include <semaphore>

namespace korv::vexatools {

std::counting_semaphore<>& ImageQueuedSignal();

}  // namespace korv::vexatools
