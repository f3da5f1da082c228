#include "ViewerClient.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <charconv>

#include "JsonText.hpp"
#include "PngWriter.hpp"
#include "lumo/LumoWire.hpp"

namespace korv::vexatools::viewer {

namespace {

using Clock = std::chrono::steady_clock;

// Splits off the first word of `text` (words are separated by one blank).
std::string_view NextWord(std::string_view& text) {
  const auto blank = text.find(' ');
  const auto word = text.substr(0, blank);
  text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  return word;
}

template <typename Number>
bool ParseNumber(std::string_view word, Number& value) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

std::shared_ptr<const std::string> Shared(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

}  // namespace

ViewerClient::ViewerClient(boost::asio::io_context& io, StreamHub& hub, std::weak_ptr<http::WebSocketChannel> channel,
                           ClientSettings settings, boost::asio::any_io_executor encoder)
    : hub_(hub),
      channel_(std::move(channel)),
      settings_(std::move(settings)),
      frameInterval_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / std::max(settings_.maxFps, 0.1)))),
      frameTimer_(io),
      encoder_(std::move(encoder)),
      switchTimer_(io) {
  JsonObject hello;
  hello.Add("type", "hello").Add("maxFps", settings_.maxFps).Add("stream", settings_.firstStream);
  Reply(http::OutgoingMessage::Text(Shared(hello.Text())));
}

void ViewerClient::OnText(std::string_view message) {
  std::string_view arguments = message;
  const auto command = NextWord(arguments);
  if (command == "watch") return Watch(std::string(arguments));
  if (command == "pause" && arguments.empty()) return void(paused_ = true);
  if (command == "resume" && arguments.empty()) {
    paused_ = false;
    sentBeyondShown_ = 0;  // frames that came while paused were not shown, and never will be
    return Wake();
  }
  if (command == "pixel") return ReplyPixel(arguments);
  if (command == "png") return ReplyPng(arguments);
  if (command == "shown") return OnShown(arguments);
  ReplyError("unknown command");
}

void ViewerClient::Watch(std::string stream) {
  if (!lumo::IsValidStreamName(stream)) return ReplyError("not a stream name");
  wantedStream_ = std::move(stream);
  SwitchWhenAllowed();
}

void ViewerClient::SwitchWhenAllowed() {
  if (!wantedStream_ || closed_) return;
  if (*wantedStream_ == stream_) return wantedStream_.reset();
  if (TakeSwitchTurn(Clock::now())) return SwitchTo(*std::exchange(wantedStream_, std::nullopt));
  SwitchAt(switchCredit_ + kSwitchInterval);
}

void ViewerClient::SwitchAt(Clock::time_point when) {
  if (switchTimerArmed_ || closed_) return;
  switchTimerArmed_ = true;
  switchTimer_.expires_at(when);
  switchTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    const auto self = weak.lock();
    if (!self) return;
    self->switchTimerArmed_ = false;
    if (!error) self->SwitchWhenAllowed();
  });
}

// A token bucket kept as one time point: the turns not taken are the time
// from switchCredit_ to now, in intervals, at most kSwitchBurst of them.
bool ViewerClient::TakeSwitchTurn(Clock::time_point now) {
  switchCredit_ = std::max(switchCredit_, now - kSwitchBurst * kSwitchInterval);
  if (now - switchCredit_ < kSwitchInterval) return false;
  switchCredit_ += kSwitchInterval;
  return true;
}

void ViewerClient::SwitchTo(std::string stream) {
  if (!stream_.empty()) hub_.Unwatch(stream_, this);
  stream_.clear();
  waitingFrame_.reset();
  sentImages_.clear();
  sentBeyondShown_ = 0;
  figures_.reset();
  std::string problem;
  if (hub_.Watch(stream, shared_from_this(), problem)) {
    stream_ = std::move(stream);
    refusedStream_.clear();
    return;
  }
  if (stream != refusedStream_) ReplyError("cannot watch '" + stream + "': " + problem);
  refusedStream_ = stream;
  if (!wantedStream_) wantedStream_ = std::move(stream);
  SwitchAt(Clock::now() + kRetryInterval);
}

std::shared_ptr<const ViewFrame> ViewerClient::SentImage(std::uint64_t sequence) const {
  for (const auto& image : sentImages_)
    if (image->sequence() == sequence) return image;
  return nullptr;
}

void ViewerClient::ReplyPixel(std::string_view arguments) {
  std::uint64_t sequence = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  if (!ParseNumber(NextWord(arguments), sequence) || !ParseNumber(NextWord(arguments), x) ||
      !ParseNumber(NextWord(arguments), y) || !arguments.empty())
    return ReplyError("usage: pixel SEQ X Y");
  const auto image = SentImage(sequence);
  if (!image) return ReplyError("image " + std::to_string(sequence) + " is no longer kept");
  const auto bytes = image->PixelBytes(x, y);
  if (!bytes) return ReplyError("pixel outside the image");
  auto reply = std::make_shared<std::vector<std::uint8_t>>();
  reply->insert(reply->end(), {'V', 'X', 'P', '1', static_cast<std::uint8_t>(image->kind()),
                               static_cast<std::uint8_t>(bytes->size()), 0, 0});
  AppendLe(*reply, static_cast<std::uint64_t>(x), 4);
  AppendLe(*reply, static_cast<std::uint64_t>(y), 4);
  AppendLe(*reply, sequence, 8);
  reply->insert(reply->end(), bytes->begin(), bytes->end());
  reply->resize(32, 0);
  Reply(http::OutgoingMessage::Binary(std::move(reply)));
}

void ViewerClient::ReplyPng(std::string_view arguments) {
  std::uint64_t sequence = 0;
  if (!ParseNumber(NextWord(arguments), sequence) || !arguments.empty()) return ReplyError("usage: png SEQ");
  // Checked before anything is made: a page that asks again and again, and
  // reads nothing, costs one PNG.
  if (pngPending_) return ReplyError("a PNG is on its way; ask again once it came");
  const auto image = SentImage(sequence);
  if (!image) return ReplyError("image " + std::to_string(sequence) + " is no longer kept");
  pngPending_ = true;
  boost::asio::post(encoder_, [weak = weak_from_this(), image, io = frameTimer_.get_executor()] {
    std::vector<std::uint8_t> png;
    std::string error;
    std::shared_ptr<std::vector<std::uint8_t>> reply;
    if (lumo::subscribe::EncodeGreyPng(image->meta(), image->data(), png, error)) {
      reply = std::make_shared<std::vector<std::uint8_t>>();
      reply->reserve(16 + png.size());
      reply->insert(reply->end(), {'V', 'X', 'N', '1', 0, 0, 0, 0});
      AppendLe(*reply, image->sequence(), 8);
      reply->insert(reply->end(), png.begin(), png.end());
    }
    boost::asio::post(io, [weak, reply = std::move(reply), error = std::move(error)] {
      if (const auto self = weak.lock()) self->OnPngMade(reply, error);
    });
  });
}

void ViewerClient::OnPngMade(std::shared_ptr<const std::vector<std::uint8_t>> reply, const std::string& error) {
  if (closed_) return;
  if (!reply) {
    pngPending_ = false;
    return ReplyError("cannot make a PNG: " + error);
  }
  pngReply_ = http::OutgoingMessage::Binary(std::move(reply));
  Wake();
}

void ViewerClient::OnShown(std::string_view arguments) {
  std::uint64_t sequence = 0;
  if (!ParseNumber(arguments, sequence)) return ReplyError("usage: shown SEQ");
  const auto shown = std::find_if(sentImages_.rbegin(), sentImages_.rend(),
                                  [sequence](const auto& image) { return image->sequence() == sequence; });
  if (shown == sentImages_.rend()) return;  // not sent, or long ago: changes nothing
  saysWhatItShows_ = true;
  sentBeyondShown_ = static_cast<std::size_t>(shown - sentImages_.rbegin());
  Wake();
}

void ViewerClient::ReplyError(const std::string& message) {
  JsonObject json;
  json.Add("type", "error").Add("message", message);
  Reply(http::OutgoingMessage::Text(Shared(json.Text())));
}

void ViewerClient::Reply(http::OutgoingMessage message) {
  if (replies_.size() >= kMaxWaitingReplies) return;
  replies_.push_back(std::move(message));
  Wake();
}

void ViewerClient::OnFrame(const std::shared_ptr<const ViewFrame>& frame) {
  if (frame->stream() != stream_) return;
  waitingFrame_ = frame;
  Wake();
}

void ViewerClient::OnFigures(const std::shared_ptr<const std::string>& json) {
  figures_ = json;
  Wake();
}

void ViewerClient::OnStreamList(const std::shared_ptr<const std::string>& json) {
  streamList_ = json;
  Wake();
}

std::optional<http::OutgoingMessage> ViewerClient::NextMessage() {
  if (!replies_.empty()) {
    auto message = std::move(replies_.front());
    replies_.pop_front();
    return message;
  }
  if (pngReply_) {
    pngPending_ = false;
    return std::exchange(pngReply_, std::nullopt);
  }
  if (streamList_) return http::OutgoingMessage::Text(std::exchange(streamList_, nullptr));
  if (figures_) return http::OutgoingMessage::Text(std::exchange(figures_, nullptr));
  return NextFrame();
}

std::optional<http::OutgoingMessage> ViewerClient::NextFrame() {
  if (paused_ || !waitingFrame_) return std::nullopt;
  if (saysWhatItShows_ && sentBeyondShown_ + 1 >= kImagesKept) return std::nullopt;  // until the page catches up
  const auto now = Clock::now();
  if (now < nextFrameAllowed_) {
    WakeAt(nextFrameAllowed_);
    return std::nullopt;
  }
  // A frame that left late lets the next one follow a little sooner, so
  // that jitter does not lower the rate, but never two in one half interval.
  nextFrameAllowed_ = std::max(nextFrameAllowed_ + frameInterval_, now + frameInterval_ / 2);
  sentImages_.push_back(std::exchange(waitingFrame_, nullptr));
  ++sentBeyondShown_;
  if (sentImages_.size() > kImagesKept) sentImages_.pop_front();
  return ViewFrame::Message(sentImages_.back());
}

void ViewerClient::WakeAt(Clock::time_point when) {
  if (timerArmed_ || closed_) return;
  timerArmed_ = true;
  frameTimer_.expires_at(when);
  frameTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    const auto self = weak.lock();
    if (!self) return;
    self->timerArmed_ = false;
    if (!error) self->Wake();
  });
}

void ViewerClient::Wake() {
  if (auto channel = channel_.lock()) channel->Wake();
}

void ViewerClient::OnClose() {
  closed_ = true;
  frameTimer_.cancel();
  switchTimer_.cancel();
  pngReply_.reset();
  if (!stream_.empty()) hub_.Unwatch(stream_, this);
  stream_.clear();
  waitingFrame_.reset();
  sentImages_.clear();
}

}  // namespace korv::vexatools::viewer
