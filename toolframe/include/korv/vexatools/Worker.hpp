// A program's worker thread (a receiver's event loop, a sender's loop) that
// keeps what ended it for the main thread, and is stopped and joined on
// every way out of the scope that owns it:
//
//   Worker receiving([&receiver] { receiver.StartReceiver(); }, [&receiver] { receiver.StopReceiver(); });
//   while (!receiving.Finished() && !stop.WaitFor(interval)) {}
//   receiving.Stop();
//   receiving.Join();
//   if (receiving.Failure()) std::rethrow_exception(receiving.Failure());
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <thread>
#include <utility>

namespace korv::vexatools {

class Worker {
 public:
  // Runs `body` on a thread of its own. `stop`, called from the owning
  // thread, asks `body` to return; without one, `body` must end by itself.
  template <typename Body>
  explicit Worker(Body body, std::function<void()> stop = {})
      : m_stop(std::move(stop)), m_thread([this, body = std::move(body)]() mutable {
          try {
            body();
          } catch (...) {
            m_failure = std::current_exception();
          }
          m_finished = true;
        }) {}
  ~Worker() {
    Stop();
    Join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // True once `body` has returned or thrown.
  bool Finished() const { return m_finished; }
  void Stop() {
    if (m_stop) m_stop();
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  // What `body` threw, or null; only after Join().
  std::exception_ptr Failure() const { return m_failure; }

 private:
  std::function<void()> m_stop;
  std::atomic<bool> m_finished{false};
  std::exception_ptr m_failure;
  std::thread m_thread;  // last: started once the members it uses exist
};

}  // namespace korv::vexatools
