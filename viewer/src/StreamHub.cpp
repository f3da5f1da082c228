#include "StreamHub.hpp"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "JsonText.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "lumo/LumoWire.hpp"

namespace korv::vexatools::viewer {

namespace {

using Clock = std::chrono::steady_clock;
// Longest a subscription's thread waits before it looks at its stop flag.
constexpr std::chrono::milliseconds kReadSlice{100};

// What a stream did over the last figures interval.
struct WindowCounts {
  std::uint64_t images = 0;
  std::uint64_t bytes = 0;
  double latencySumMs = 0;
};

}  // namespace

class StreamHub::Subscription : public std::enable_shared_from_this<StreamHub::Subscription> {
 public:
  Subscription(boost::asio::io_context& io, std::string stream, const HubSettings& settings,
               const lumo::LumoContext& context)
      : io_(io), stream_(std::move(stream)), settings_(settings), context_(context) {}
  ~Subscription() { Join(); }

  void Start() { thread_ = std::thread([this] { Run(); }); }
  void RequestStop() { stop_ = true; }
  bool Finished() const { return finished_; }
  void Join() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
  }

  // On the io thread.
  std::vector<std::weak_ptr<FrameSink>> sinks;

 private:
  void Run();
  void Offer(std::shared_ptr<const ViewFrame> frame);
  void Deliver();
  void SendFigures(const lumo::LumoDataSubscriber& subscriber, const WindowCounts& counts, double seconds);
  template <typename Call>
  void ForEachSink(Call call);

  boost::asio::io_context& io_;
  const std::string stream_;
  const HubSettings settings_;
  const lumo::LumoContext context_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};

  // Handed from the subscription's thread to the io thread.
  std::mutex mutex_;
  std::shared_ptr<const ViewFrame> newest_;
  bool deliveryPosted_ = false;

  // The subscription's thread only.
  std::optional<lumo::MetaDataElementsImage3D> lastMeta_;
  std::string lastKind_;
  std::string problem_;
};

void StreamHub::Subscription::Run() {
  lumo::LumoDataSubscriber subscriber(context_);
  subscriber.SetReceiveQueue(2);
  subscriber.SetLookupInterval(settings_.lookupIntervalMs);
  subscriber.SetMulticast(settings_.multicast, settings_.multicastNetif);
  subscriber.Subscribe(settings_.brokerUri, stream_, static_cast<int>(kReadSlice.count()));
  const auto buildInterval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / std::max(settings_.maxFps, 0.1)));

  std::optional<lumo::LumoSample> held;  // newest image not built yet
  auto nextBuild = Clock::now();
  auto windowStart = Clock::now();
  WindowCounts counts;
  lumo::LumoSample sample;
  while (!stop_) {
    auto now = Clock::now();
    const auto figuresDue = windowStart + settings_.figuresInterval;
    auto wait = std::min<Clock::duration>(kReadSlice, figuresDue - now);
    if (held) wait = std::min<Clock::duration>(wait, nextBuild - now);
    const auto waitMs = std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wait).count());
    if (subscriber.Read(sample, static_cast<int>(waitMs))) {
      ++counts.images;
      counts.bytes += sample.data().size();
      counts.latencySumMs += (static_cast<double>(lumo::NowNs()) - static_cast<double>(sample.header.publishTimeNs)) / 1e6;
      held = std::move(sample);
    }
    now = Clock::now();
    if (held && now >= nextBuild) {
      std::string problem;
      auto frame = ViewFrame::Make(ReceivedImage::From(*held), settings_.maxViewBytes, problem);
      held.reset();
      nextBuild = now + buildInterval;
      if (frame) {
        lastMeta_ = frame->meta();
        lastKind_ = PixelKindName(frame->kind());
        problem_.clear();
        Offer(std::move(frame));
      } else {
        problem_ = problem;
      }
    }
    if (now >= figuresDue) {
      SendFigures(subscriber, counts, std::chrono::duration<double>(now - windowStart).count());
      counts = {};
      windowStart = now;
    }
  }
  finished_ = true;
}

void StreamHub::Subscription::Offer(std::shared_ptr<const ViewFrame> frame) {
  bool post = false;
  {
    const std::lock_guard lock(mutex_);
    newest_ = std::move(frame);
    post = !deliveryPosted_;
    deliveryPosted_ = true;
  }
  if (post) boost::asio::post(io_, [self = shared_from_this()] { self->Deliver(); });
}

void StreamHub::Subscription::Deliver() {
  std::shared_ptr<const ViewFrame> frame;
  {
    const std::lock_guard lock(mutex_);
    frame = std::move(newest_);
    deliveryPosted_ = false;
  }
  if (frame) ForEachSink([&](FrameSink& sink) { sink.OnFrame(frame); });
}

template <typename Call>
void StreamHub::Subscription::ForEachSink(Call call) {
  std::erase_if(sinks, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : std::vector(sinks))
    if (auto sink = weak.lock()) call(*sink);
}

void StreamHub::Subscription::SendFigures(const lumo::LumoDataSubscriber& subscriber, const WindowCounts& counts,
                                          double seconds) {
  const auto& stats = subscriber.stats();
  JsonObject json;
  json.Add("type", "figures").Add("stream", stream_).Add("publisher", subscriber.endpoint());
  json.Add("imagesPerSecond", seconds > 0 ? counts.images / seconds : 0.0);
  json.Add("megabytesPerSecond", seconds > 0 ? counts.bytes / seconds / 1e6 : 0.0);
  json.Add("latencyMs", counts.images > 0 ? counts.latencySumMs / counts.images : std::nan(""));
  json.Add("received", stats.received).Add("gaps", stats.gaps).Add("missed", stats.missed);
  json.Add("restarts", stats.restarts).Add("malformed", stats.malformed);
  if (lastMeta_) {
    json.Add("width", lastMeta_->width).Add("height", lastMeta_->height).Add("pixelType", lastKind_);
    json.Add("bytesPerPixel", lastMeta_->bytesPerPixel);
  }
  json.Add("problem", problem_);
  auto text = std::make_shared<const std::string>(json.Text());
  boost::asio::post(io_, [self = shared_from_this(), text] {
    self->ForEachSink([&](FrameSink& sink) { sink.OnFigures(text); });
  });
}

StreamHub::StreamHub(boost::asio::io_context& io, HubSettings settings) : io_(io), settings_(std::move(settings)) {}

StreamHub::~StreamHub() { Stop(); }

bool StreamHub::Watch(const std::string& stream, const std::shared_ptr<FrameSink>& sink, std::string& problem) {
  ReapFinished();
  if (const auto found = subscriptions_.find(stream); found != subscriptions_.end()) {
    found->second->sinks.push_back(sink);
    return true;
  }
  if (subscriptions_.size() + stopping_.size() >= settings_.maxSubscriptions) {
    problem = fmt::format("the viewer already follows the most streams it may ({}); try again later", settings_.maxSubscriptions);
    return false;
  }
  auto subscription = std::make_shared<Subscription>(io_, stream, settings_, context_);
  try {
    subscription->Start();
  } catch (const std::system_error& error) {
    problem = std::string("cannot start a subscription: ") + error.what();
    return false;
  }
  subscription->sinks.push_back(sink);
  subscriptions_.emplace(stream, std::move(subscription));
  // Pages choose the streams, so these lines are throttled.
  if (std::uint64_t events = 0; subscribedLog_.Allow(events))
    VEXA_LOG_FMT(GetAppLogger(), log4cplus::INFO_LOG_LEVEL, "Subscribed to stream '{}'{}", stream,
                 events > 1 ? fmt::format(" ({} subscriptions since the last line)", events) : "");
  return true;
}

void StreamHub::Unwatch(const std::string& stream, const FrameSink* sink) {
  const auto found = subscriptions_.find(stream);
  if (found == subscriptions_.end()) return;
  auto& sinks = found->second->sinks;
  std::erase_if(sinks, [&](const auto& weak) {
    const auto locked = weak.lock();
    return !locked || locked.get() == sink;
  });
  if (!sinks.empty()) return;
  // Its thread ends within one read slice; it is joined later, so that the
  // io thread never waits for it.
  found->second->RequestStop();
  stopping_.push_back(std::move(found->second));
  subscriptions_.erase(found);
  if (std::uint64_t events = 0; unsubscribedLog_.Allow(events))
    VEXA_LOG_FMT(GetAppLogger(), log4cplus::INFO_LOG_LEVEL, "Unsubscribed from stream '{}'{}", stream,
                 events > 1 ? fmt::format(" ({} streams left since the last line)", events) : "");
  ReapFinished();
}

void StreamHub::ReapFinished() {
  std::erase_if(stopping_, [](const auto& subscription) { return subscription->Finished(); });
}

std::vector<std::string> StreamHub::Subscribed() const {
  std::vector<std::string> names;
  for (const auto& [name, subscription] : subscriptions_) names.push_back(name);
  return names;
}

std::size_t StreamHub::Threads() {
  ReapFinished();
  return subscriptions_.size() + stopping_.size();
}

void StreamHub::Stop() {
  for (auto& [name, subscription] : subscriptions_) subscription->Join();
  for (auto& subscription : stopping_) subscription->Join();
  subscriptions_.clear();
  stopping_.clear();
}

}  // namespace korv::vexatools::viewer
