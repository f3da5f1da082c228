// The viewer's server side: the page's files, the WebSocket of each page,
// the shared stream subscriptions and the stream list of the broker.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "StreamHub.hpp"
#include "ViewerClient.hpp"
#include "korv/vexatools/http/HttpServer.hpp"

namespace korv::vexatools::viewer {

struct ViewerSettings {
  std::string brokerUri;
  std::string firstStream;
  double maxFps = 25;
  std::size_t maxViewBytes = kMaxViewBytes;
  std::chrono::milliseconds listInterval{1000};
  // Receive by multicast where a stream offers it (see HubSettings).
  bool multicast = false;
  std::string multicastNetif{};
};

// The page's files: the regular files of `directory`, read once, each served
// at "/NAME", and index.html also at "/". Throws std::runtime_error when
// index.html cannot be read.
void ServePageFiles(http::HttpServer& server, const std::filesystem::path& directory);

// Where the page's files are: next to the program in a build tree, under
// share/vexatools in an installed one. Empty when not found.
std::filesystem::path FindPageDirectory();

class Viewer {
 public:
  // Registers "/ws" on `server`. The io_context must be run by one thread.
  Viewer(boost::asio::io_context& io, http::HttpServer& server, ViewerSettings settings);
  ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Starts asking the broker for its streams.
  void Start();
  // Stops the broker questions and every subscription.
  void Stop();

  StreamHub& hub() { return hub_; }

 private:
  std::shared_ptr<http::WebSocketHandler> Open(std::weak_ptr<http::WebSocketChannel> channel);
  void ListStreams();
  void PublishStreamList(std::shared_ptr<const std::string> json);

  boost::asio::io_context& io_;
  const ViewerSettings settings_;
  StreamHub hub_;
  std::vector<std::weak_ptr<ViewerClient>> clients_;  // io thread
  std::shared_ptr<const std::string> streamList_;     // io thread
  std::atomic<bool> stop_{false};
  std::thread lister_;
  // Makes the pages' PNG files, one at a time, away from the io thread.
  boost::asio::thread_pool pngEncoder_{1};
};

}  // namespace korv::vexatools::viewer
