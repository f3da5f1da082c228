// One browser page connected over WebSocket.
//
// What the page asks (text messages, one command each):
//   watch NAME        show stream NAME
//   pause | resume    stop and restart the images (figures keep coming)
//   pixel SEQ X Y     the raw value of full-resolution pixel (X, Y) of image SEQ
//   png SEQ           image SEQ as a PNG file at full depth
//   shown SEQ         the page now shows image SEQ (no answer)
// Image SEQ is one of the last few images sent to this page. A page that
// says what it shows gets at most kImagesKept - 1 frames beyond it: frames
// do not pile up on the way to a slow page, and the image it shows (paused,
// say) can still be asked about.
//
// What one page can cost everyone is bounded: it watches one stream at a
// time, and switches at most kSwitchBurst times at once and then once per
// kSwitchInterval (a `watch` that comes sooner is kept and done when its
// turn comes, the newest one winning). A stream the viewer cannot follow
// now (every subscription taken) is told to the page once and tried again
// every kRetryInterval until it can, or until the page names another. A
// PNG is made on the encoder's
// thread, never on the io_context's, and one at a time: a `png` asked while
// the last one has not left yet is refused.
//
// What it gets: frame messages (ViewFrame), JSON texts ("hello", "streams",
// "figures", "error") and binary replies: "VXP1" u8 kind, u8 bytes per
// pixel, u16 0, u32 x, u32 y, u64 sequence, 8 bytes holding the pixel's raw
// little-endian bytes; "VXN1" u32 0, u64 sequence, the PNG file.
//
// Latest wins: at most one frame waits for the page, replaced by each newer
// one, and frames leave at most `maxFps` times a second. A page that reads
// slowly sees fewer frames, never older ones, and holds no more memory.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "StreamHub.hpp"
#include "korv/vexatools/http/HttpServer.hpp"

namespace korv::vexatools::viewer {

struct ClientSettings {
  double maxFps = 25;
  std::string firstStream;  // suggested to the page; may be empty
};

class ViewerClient : public http::WebSocketHandler, public FrameSink, public std::enable_shared_from_this<ViewerClient> {
 public:
  // Images the page may still ask about by sequence number.
  static constexpr std::size_t kImagesKept = 3;
  // Replies that may wait at once; further requests are dropped.
  static constexpr std::size_t kMaxWaitingReplies = 8;
  // Stream switches a page may make at once, and then one per interval.
  static constexpr int kSwitchBurst = 5;
  static constexpr std::chrono::milliseconds kSwitchInterval{200};
  static constexpr std::chrono::milliseconds kRetryInterval{1000};

  // PNG files are made on `encoder` (a thread pool, say).
  ViewerClient(boost::asio::io_context& io, StreamHub& hub, std::weak_ptr<http::WebSocketChannel> channel,
               ClientSettings settings, boost::asio::any_io_executor encoder);

  void OnText(std::string_view message) override;
  std::optional<http::OutgoingMessage> NextMessage() override;
  void OnClose() override;

  void OnFrame(const std::shared_ptr<const ViewFrame>& frame) override;
  void OnFigures(const std::shared_ptr<const std::string>& json) override;
  void OnStreamList(const std::shared_ptr<const std::string>& json);

  const std::string& stream() const { return stream_; }

 private:
  void Watch(std::string stream);
  void SwitchWhenAllowed();
  void SwitchAt(std::chrono::steady_clock::time_point when);
  bool TakeSwitchTurn(std::chrono::steady_clock::time_point now);
  void SwitchTo(std::string stream);
  void ReplyPixel(std::string_view arguments);
  void ReplyPng(std::string_view arguments);
  void OnPngMade(std::shared_ptr<const std::vector<std::uint8_t>> reply, const std::string& error);
  void OnShown(std::string_view arguments);
  void ReplyError(const std::string& message);
  void Reply(http::OutgoingMessage message);
  std::shared_ptr<const ViewFrame> SentImage(std::uint64_t sequence) const;
  std::optional<http::OutgoingMessage> NextFrame();
  void WakeAt(std::chrono::steady_clock::time_point when);
  void Wake();

  StreamHub& hub_;
  std::weak_ptr<http::WebSocketChannel> channel_;
  const ClientSettings settings_;
  const std::chrono::steady_clock::duration frameInterval_;
  boost::asio::steady_timer frameTimer_;
  bool timerArmed_ = false;
  bool closed_ = false;
  boost::asio::any_io_executor encoder_;

  std::string stream_;
  std::optional<std::string> wantedStream_;  // asked for, waiting for its turn
  std::string refusedStream_;                // last one refused, told to the page
  std::chrono::steady_clock::time_point switchCredit_{};
  boost::asio::steady_timer switchTimer_;
  bool switchTimerArmed_ = false;
  // A PNG is being made or waits to be sent (pngReply_).
  bool pngPending_ = false;
  std::optional<http::OutgoingMessage> pngReply_;
  bool paused_ = false;
  std::shared_ptr<const ViewFrame> waitingFrame_;
  std::deque<std::shared_ptr<const ViewFrame>> sentImages_;
  bool saysWhatItShows_ = false;  // the page sent "shown": frames are paced by it
  std::size_t sentBeyondShown_ = 0;
  std::chrono::steady_clock::time_point nextFrameAllowed_{};
  std::deque<http::OutgoingMessage> replies_;
  std::shared_ptr<const std::string> streamList_;
  std::shared_ptr<const std::string> figures_;
};

}  // namespace korv::vexatools::viewer
