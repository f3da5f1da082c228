#include "Viewer.hpp"

#include <boost/asio/post.hpp>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "JsonText.hpp"
#include "korv/vexalib/FindFile.hpp"
#include "lumo/LumoStreamList.hpp"

namespace korv::vexatools::viewer {

namespace fs = std::filesystem;

namespace {

HubSettings HubSettingsOf(const ViewerSettings& settings) {
  HubSettings hub;
  hub.brokerUri = settings.brokerUri;
  hub.maxFps = settings.maxFps;
  hub.maxViewBytes = settings.maxViewBytes;
  hub.multicast = settings.multicast;
  hub.multicastNetif = settings.multicastNetif;
  return hub;
}

std::string ContentType(const fs::path& file) {
  const auto extension = file.extension().string();
  if (extension == ".html") return "text/html; charset=utf-8";
  if (extension == ".js" || extension == ".mjs") return "text/javascript; charset=utf-8";
  if (extension == ".css") return "text/css; charset=utf-8";
  if (extension == ".png") return "image/png";
  if (extension == ".svg") return "image/svg+xml";
  return "application/octet-stream";
}

std::string ReadWholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The page's own file that the lookup searches for.
constexpr const char* kPageIndex = "viewer/www/index.html";

}  // namespace

void ServePageFiles(http::HttpServer& server, const fs::path& directory) {
  const auto index = ReadWholeFile(directory / "index.html");
  server.AddGet("/", [index](const http::Request&) { return http::Response::Text(index, ContentType("index.html")); });
  for (const auto& entry : fs::directory_iterator(directory)) {
    // A link could lead anywhere: only the directory's own files are served.
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    auto content = ReadWholeFile(entry.path());
    auto type = ContentType(entry.path());
    server.AddGet("/" + entry.path().filename().string(),
                  [content = std::move(content), type = std::move(type)](const http::Request&) {
                    return http::Response::Text(content, type);
                  });
  }
}

fs::path FindPageDirectory() {
  const auto index = korv::vexalib::FindFile(kPageIndex);
  return index.empty() ? fs::path() : fs::path(index).parent_path();
}

Viewer::Viewer(boost::asio::io_context& io, http::HttpServer& server, ViewerSettings settings)
    : io_(io),
      settings_(std::move(settings)),
      hub_(io, HubSettingsOf(settings_)) {
  server.AddWebSocket("/ws", [this](std::weak_ptr<http::WebSocketChannel> channel) { return Open(std::move(channel)); });
}

Viewer::~Viewer() { Stop(); }

std::shared_ptr<http::WebSocketHandler> Viewer::Open(std::weak_ptr<http::WebSocketChannel> channel) {
  auto client = std::make_shared<ViewerClient>(io_, hub_, std::move(channel),
                                               ClientSettings{settings_.maxFps, settings_.firstStream},
                                               pngEncoder_.get_executor());
  std::erase_if(clients_, [](const auto& weak) { return weak.expired(); });
  clients_.push_back(client);
  if (streamList_) client->OnStreamList(streamList_);
  return client;
}

void Viewer::Start() {
  lister_ = std::thread([this] { ListStreams(); });
}

void Viewer::ListStreams() {
  lumo::LumoStreamList list(settings_.brokerUri);
  std::string last;
  while (!stop_) {
    const auto started = std::chrono::steady_clock::now();
    std::string failure;
    const auto names = list.List(500, failure);
    JsonObject json;
    json.Add("type", "streams").Add("broker", settings_.brokerUri);
    json.Add("streams", names ? *names : std::vector<std::string>{});
    json.Add("problem", names ? std::string() : "broker " + settings_.brokerUri + ": " + failure);
    auto text = json.Text();
    if (text != last) {
      last = text;
      boost::asio::post(io_, [this, shared = std::make_shared<const std::string>(std::move(text))] {
        PublishStreamList(shared);
      });
    }
    while (!stop_ && std::chrono::steady_clock::now() - started < settings_.listInterval)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Viewer::PublishStreamList(std::shared_ptr<const std::string> json) {
  streamList_ = std::move(json);
  std::erase_if(clients_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : clients_)
    if (auto client = weak.lock()) client->OnStreamList(streamList_);
}

void Viewer::Stop() {
  stop_ = true;
  if (lister_.joinable()) lister_.join();
  pngEncoder_.join();
  hub_.Stop();
}

}  // namespace korv::vexatools::viewer
