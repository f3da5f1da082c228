// Publishes the images that the publishing receiver queues on a named LUMO
// stream, registered at a broker. Run() is the body of a thread of its own.
//
// Receiver and sender hold no reference to each other: they meet at the
// static members below (and a wake-up signal internal to the library). The
// receiver's thread pushes complete images into spsc_queue and raises
// new_data; the sender's thread takes them out, one per pass, paced by the
// publishing interval. Whoever owns the sender sets
// stopped to end Run(); nothing in the library sets it. Run() then publishes
// what is still queued and unregisters, which frees the stream at the broker.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <boost/lockfree/spsc_queue.hpp>
#include <log4cplus/logger.h>

#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexatools/Export.hpp"
#include "korv/vexatools/LumoImage.hpp"
#include "korv/vexatools/ReceptionStatistics.hpp"
#include "lumo/LumoDataTransfer.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools {

namespace lumopublish {
class LateFlag;
}

// How images of a data type are described on the LUMO stream.
struct LumoPixelFormat {
  int bytesPerPixel;  // 0 for a type without a fixed element size
  int lumoDataType;   // a lumo::LumoDataTypeCode
};

KORV_VEXATOOLS_EXPORT LumoPixelFormat LumoPixelFormatOf(korv::fnd::datatype::DataType dataType);

// The meta-data record published with `image`: width and height are the
// image's, bytes per pixel and LUMO data type come from `dataType`.
KORV_VEXATOOLS_EXPORT lumo::MetaDataElementsImage3D MakeImageRecord(const LumoImage& image,
                                                                    korv::fnd::datatype::DataType dataType);

class KORV_VEXATOOLS_EXPORT LumoSender {
 public:
  // At most five images wait for the sender; a complete image that finds the
  // ring full is dropped.
  using ImageQueue = boost::lockfree::spsc_queue<std::shared_ptr<LumoImage>, boost::lockfree::capacity<5>>;

  static ImageQueue spsc_queue;
  // Raised by the receiver after each push attempt; not a counter.
  static std::atomic<bool> new_data;
  // Ends Run() at its next pass, and registration between attempts.
  static std::atomic<bool> stopped;

  // Creates the LUMO publisher and sizes its buffer for width x height
  // images of `dataType`; does not register. `interval` is the pause in
  // milliseconds after each pass; 0 or less publishes as soon as an image is
  // queued.
  LumoSender(int width, int height, korv::fnd::datatype::DataType dataType, std::string brokerUri,
             std::string streamName, int interval);
  // Destroy a sender only after its Run() has returned.
  ~LumoSender();

  LumoSender(const LumoSender&) = delete;
  LumoSender& operator=(const LumoSender&) = delete;

  // Up to five attempts, started one second apart (so that together they
  // outlast a stale registration of the stream at the broker), each bounded
  // by the LUMO library's registration timeout. Throws std::runtime_error
  // "Could not register LUMO publisher" when all fail. Returns without
  // registering once stopped is set.
  void RegisterPublisher();
  // Also publishes by reliable multicast (lumo::LumoDataPublisher::SetMulticast).
  // Before Run(). False for a malformed endpoint.
  bool SetMulticast(const lumo::MulticastOptions& options) { return publisher->SetMulticast(options); }
  // Registers, then publishes queued images until stopped is set; then
  // publishes the images still queued and unregisters. Throws when
  // registration fails; returns at once when stopped during registration. A
  // failure to publish one image is logged and that image dropped.
  void Run();

  // True from a successful registration until Run() unregisters; from any thread.
  bool IsRegistered() const { return registered; }
  // Called on Run()'s thread after each pass of the publishing loop: at
  // least once per publishing interval, and every few milliseconds while a
  // sender without an interval is idle. A sender that hangs stops calling
  // it. Set before Run().
  void OnPass(std::function<void()> hook) { passDone = std::move(hook); }

  // Images written to the LUMO publisher, and images whose writing failed;
  // from any thread.
  std::uint64_t GetPublished() const { return published.Get(); }
  std::uint64_t GetPublishFailures() const { return publishFailures.Get(); }

 private:
  // Takes at most one image out of the ring and publishes it. Returns true
  // when it took one.
  bool ServeQueue(lumopublish::LateFlag& lateFlag);
  void Publish(const LumoImage& image);
  void PauseAfterPass(bool tookImage) const;
  void PublishQueued();
  void Unregister();

  int width;
  int height;
  korv::fnd::datatype::DataType dataType;
  std::string brokerUri;
  std::string streamName;
  int interval;
  log4cplus::Logger logger;
  std::unique_ptr<lumo::LumoDataPublisher> publisher;
  lumo::LumoEncDecImage3D encoder;
  RelaxedCounter published;
  RelaxedCounter publishFailures;
  std::atomic<bool> registered{false};
  std::function<void()> passDone;
};

}  // namespace korv::vexatools
