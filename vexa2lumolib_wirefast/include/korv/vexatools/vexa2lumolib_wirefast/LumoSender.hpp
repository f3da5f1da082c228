// The gateway library's image sender. Its Run() is the body of a sender
// thread of the application's making: it registers a LUMO publisher at the
// broker (retrying every five seconds until it succeeds or is stopped),
// then takes the images Vexa2LumoGateway puts into the static ring
// `spsc_queue` and publishes each with its meta-data record, pausing
// `interval` milliseconds after each publication and each empty poll. With
// an interval of 0 or less it publishes as soon as an image is handed over
// and sleeps while the ring is empty.
//
// One process runs one gateway with one sender: the ring (one producer, one
// consumer) and the flags `new_data` and `stopped` are process-wide.
// To end Run(), set `stopped` and join the thread; Run() then discards what
// is left in the ring, unregisters and releases the publisher, and returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/lockfree/spsc_queue.hpp>
#include <log4cplus/logger.h>

#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Export.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoImage.hpp"
#include "lumo/LumoDataTransfer.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {

class KORV_VEXA2LUMOLIB_WIREFAST_EXPORT LumoSender {
 public:
  // At most five images wait; a push into a full ring fails.
  using ImageRing = boost::lockfree::spsc_queue<std::shared_ptr<LumoImage>, boost::lockfree::capacity<5>>;

  // Filled by the gateway (the delivery thread), emptied by Run().
  static ImageRing spsc_queue;
  // Raised by the gateway after each accepted sample; cleared by the sender.
  static std::atomic<bool> new_data;
  // Set by the application or Shutdown() to end Run(); nothing clears it.
  static std::atomic<bool> stopped;

  // Creates the publisher (not yet registered). When width, height and the
  // data type's size are known, the publisher's buffer is sized for one such
  // image; otherwise the first image sizes it. Logs nothing; exceptions of
  // the LUMO library propagate.
  LumoSender(int width, int height, korv::fnd::datatype::DataType dataType, std::string brokerUri,
             std::string streamName, int interval);
  ~LumoSender();

  LumoSender(const LumoSender&) = delete;
  LumoSender& operator=(const LumoSender&) = delete;

  // Registers the publisher, retrying every five seconds until it succeeds
  // or `stopped` is set (seen within a second).
  void RegisterPublisher();
  // Also publishes by reliable multicast (lumo::LumoDataPublisher::SetMulticast).
  // Before Run(). False for a malformed endpoint.
  bool SetMulticast(const lumo::MulticastOptions& options) { return publisher->SetMulticast(options); }
  // The sender thread's body; returns when `stopped` is set. A sender runs
  // once: a second Run(), or Run() after Shutdown(), throws
  // std::logic_error.
  void Run();
  // Sets `stopped`, clears `new_data`, unregisters and releases the
  // publisher. Only while no thread runs Run(), and never before Run().
  void Shutdown();

  // Publisher buffer size last requested, in bytes (0: none yet).
  std::int64_t GetBufferSize() const { return bufferSize; }

 private:
  // The byte size of an image that can be published; nothing (after a
  // warning) for one that cannot.
  std::optional<std::int64_t> PublishableSize(const LumoImage& image);
  void GrowBuffer(const LumoImage& image, std::int64_t size);
  // `soleHolder`: no one else holds the image, so its pixels may be moved out.
  void Publish(LumoImage& image, bool soleHolder, std::int64_t size, std::uint64_t& publishCount);
  void Pause();
  void WaitForImage();
  void StopSequence();
  void ReleasePublisher();

  int width;
  int height;
  korv::fnd::datatype::DataType dataType;
  std::string brokerUri;
  std::string streamName;
  int interval;
  log4cplus::Logger logger;
  std::unique_ptr<lumo::LumoDataPublisher> publisher;
  lumo::LumoEncDecImage3D encoder;
  std::int64_t bufferSize = 0;
  std::atomic<bool> hasRun{false};
};

}  // namespace korv::vexatools::vexa2lumolib_wirefast
