// One LUMO subscription per stream, shared by every page that watches it.
//
// Each subscription reads on a thread of its own, turns the newest image
// into a ViewFrame at most `maxFps` times a second and hands it to the
// io_context's thread, where the watchers get it. Between the two threads
// only the newest frame waits: a busy io_context sees fewer frames, never a
// queue. Once a second each subscription also sends its figures (images/s,
// MB/s, gaps, latency, geometry) as a JSON text.
//
// Pages choose what is watched, so what they can make the hub hold is
// bounded: at most `maxSubscriptions` threads at once (those still ending
// included), all on one ZeroMQ context, and the log lines about streams
// subscribed to and left are throttled.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ViewFrame.hpp"
#include "korv/fnd/LogThrottle.hpp"
#include "lumo/LumoDataSubscriber.hpp"

namespace korv::vexatools::viewer {

// Whoever watches a stream. Called on the io_context's thread.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void OnFrame(const std::shared_ptr<const ViewFrame>& frame) = 0;
  virtual void OnFigures(const std::shared_ptr<const std::string>& json) = 0;
};

struct HubSettings {
  std::string brokerUri;
  double maxFps = 25;
  std::size_t maxViewBytes = kMaxViewBytes;
  // Silence after which a stream is looked up again at the broker.
  int lookupIntervalMs = 1000;
  std::chrono::milliseconds figuresInterval{1000};
  // Subscriptions, each a thread, that may exist at once.
  std::size_t maxSubscriptions = 16;
  // Join a stream's multicast group when its publisher offers one, on the
  // interface with this address ("": the one that reaches the publisher).
  bool multicast = false;
  std::string multicastNetif{};
};

class StreamHub {
 public:
  StreamHub(boost::asio::io_context& io, HubSettings settings);
  // Stops every subscription and waits for its thread.
  ~StreamHub();
  StreamHub(const StreamHub&) = delete;
  StreamHub& operator=(const StreamHub&) = delete;

  // On the io_context's thread. The first watcher of a stream starts its
  // subscription; the last one to leave stops it. False, with `problem`
  // saying why, when no subscription can be started now (too many, or no
  // thread to run it).
  bool Watch(const std::string& stream, const std::shared_ptr<FrameSink>& sink, std::string& problem);
  void Unwatch(const std::string& stream, const FrameSink* sink);

  // Streams subscribed to now.
  std::vector<std::string> Subscribed() const;
  // Subscription threads that exist now, those still ending included.
  std::size_t Threads();

  // Stops every subscription; from any thread, once the io_context no
  // longer runs the hub's work or from its thread.
  void Stop();

 private:
  class Subscription;
  void ReapFinished();

  boost::asio::io_context& io_;
  HubSettings settings_;
  lumo::LumoContext context_;
  korv::fnd::LogThrottle subscribedLog_;
  korv::fnd::LogThrottle unsubscribedLog_;
  std::map<std::string, std::shared_ptr<Subscription>> subscriptions_;
  // Stopped subscriptions whose threads may still be finishing a read.
  std::vector<std::shared_ptr<Subscription>> stopping_;
};

}  // namespace korv::vexatools::viewer
