// Test helper: registers a LUMO publisher (retrying until it succeeds or
// 20 s pass), prints "registered ENDPOINT", then publishes pattern images.
// Usage: lumoTestPublisher BROKER STREAM COUNT INTERVAL_MS BYTES
// (COUNT 0: until killed; SIGTERM unregisters and exits).
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <iostream>
#include <string>

#include "TestImages.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "lumo/Lumo.hpp"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: lumoTestPublisher BROKER STREAM COUNT INTERVAL_MS BYTES\n";
    return 1;
  }
  log4cplus::Initializer initializer;
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);
  const korv::fnd::StopSignals stop;
  const std::string broker = argv[1];
  const std::string stream = argv[2];
  const long count = std::stol(argv[3]);
  const auto interval = std::chrono::milliseconds(std::stol(argv[4]));
  const std::size_t bytes = std::stoul(argv[5]);

  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (publisher->Register(broker, stream, 500) != 1) {
    if (stop.StopRequested() || std::chrono::steady_clock::now() > deadline) return 2;
    stop.WaitFor(std::chrono::milliseconds(100));
  }
  std::cout << "registered " << publisher->endpoint() << std::endl;

  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(lumo::test::ImageRecord(static_cast<int>(bytes), 1, 1, lumo::kLumoUnsigned8));
  publisher->set_topic_id(encoder.get_topic_id());
  for (long i = 0; !stop.StopRequested() && (count == 0 || i < count); ++i) {
    publisher->WriteData(0, lumo::test::PatternImage(bytes, static_cast<std::uint32_t>(i)), encoder.get_meta_data());
    publisher->CompleteWrite();
    stop.WaitFor(interval);
  }
  publisher->Unregister();
  return 0;
}
