// The sender's side of the image hand-over: the producer pushes an image
// into the ring, raises the notification flag and then the image signal;
// the sender takes one image per pass.
#pragma once

#include <chrono>
#include <semaphore>

namespace korv::vexatools::lumopublish {

// Tells a notification without an image that is a fault from one that is
// not. The producer pushes first and raises the flag right after, so a pass
// that falls between the two takes the image before its flag is up; the
// flag then arrives late, over an empty ring, for an image already taken.
// That one flag is no fault; any other over an empty ring is.
class LateFlag {
 public:
  // A pass took an image; `notified`: the flag was up when the pass began.
  void Took(bool notified) { m_takenAhead = !notified; }
  // A notified pass found no image. True when that is a fault to report.
  bool IsFault();

 private:
  bool m_takenAhead = false;
};

// Wakes a sender without a publishing interval as soon as an image has been
// queued, so that it sleeps while idle instead of polling. The ring stays
// the only hand-over of images: the signal only says when to look.
class ImageSignal {
 public:
  void Raise() { m_signal.release(); }
  // Sleeps until the signal is raised or `timeout` has passed. The signals
  // counted meanwhile are dropped: the next pass looks at the ring anyway.
  void Wait(std::chrono::milliseconds timeout);

 private:
  std::counting_semaphore<> m_signal{0};
};

}  // namespace korv::vexatools::lumopublish
