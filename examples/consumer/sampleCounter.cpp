// sampleCounter: receives a VEXA stream with a receiver derived from
// korv::vexatools::VexaReceiver, counts the complete samples and ends after
// the number asked for.
//   sampleCounter ADDRESS PORT WIDTH HEIGHT SAMPLES
// takes Int16 samples of WIDTH x HEIGHT pixels sent to PORT (ADDRESS: a
// multicast group to join, or this host's address for unicast) and prints
// "complete samples: N"; the status is 0 when N is SAMPLES, 1 when
// reception ended before (see the library's log on standard error).
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/loglevel.h>

#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/VexaReceiver.hpp"

namespace {

class SampleCounter : public korv::vexatools::VexaReceiver {
 public:
  SampleCounter(const std::string& address, int port, int width, int height, int wanted)
      : VexaReceiver(address, port, "", width, height, 2, 3), m_wanted(wanted) {}

  int CompleteSamples() const { return m_completeSamples; }

 protected:
  // Called at the trailer of a sample whose frames all arrived.
  void HandleTrailerPacket() override {
    if (++m_completeSamples == m_wanted) StopReceiver();
  }

 private:
  const int m_wanted;
  int m_completeSamples = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: sampleCounter ADDRESS PORT WIDTH HEIGHT SAMPLES\n";
    return 2;
  }
  // The library logs through the application logger "vexatools": its
  // errors go to standard error.
  log4cplus::Initializer logging;
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  korv::vexatools::GetAppLogger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);

  try {
    const int wanted = std::stoi(argv[5]);
    SampleCounter counter(argv[1], std::stoi(argv[2]), std::stoi(argv[3]), std::stoi(argv[4]), wanted);
    // StartReceiver returns when reception has ended; a set-up failure is
    // handed back to this thread.
    std::exception_ptr failure;
    std::thread receiver([&] {
      try {
        counter.StartReceiver();
      } catch (...) {
        failure = std::current_exception();
      }
    });
    receiver.join();
    if (failure) std::rethrow_exception(failure);
    std::cout << "complete samples: " << counter.CompleteSamples() << '\n';
    return counter.CompleteSamples() == wanted ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "sampleCounter: " << error.what() << '\n';
    return 1;
  }
}
