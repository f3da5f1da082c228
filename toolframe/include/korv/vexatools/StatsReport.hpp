// The --stats report of the tools: one line of `key=value` pairs on standard
// error once a second, with totals since the start, so that the last line
// of a run holds its final figures.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "korv/vexatools/ReceptionStatistics.hpp"

namespace korv::vexatools {

// `key=value` pairs separated by single spaces, easy to read with awk.
class StatsLine {
 public:
  StatsLine& Add(std::string_view key, std::uint64_t value);
  StatsLine& Add(std::string_view key, double value, int decimals);
  const std::string& Text() const { return m_text; }

 private:
  std::string m_text;
};

// The reception keys of one line: totals in `now`, rates over the
// `interval` seconds since `before`.
StatsLine ReceptionStatsLine(const ReceptionStatistics& now, const ReceptionStatistics& before, double elapsed,
                             double interval);

// Where the samples and packets went, by cause, for the end of a run.
std::string LossSummary(const ReceptionStatistics& statistics);

// Writes a line once a second on a thread of its own, from the counters
// `read` returns; `addKeys` appends a program's own keys.
class StatsReporter {
 public:
  using Reader = std::function<ReceptionStatistics()>;
  using KeyAdder = std::function<void(StatsLine&)>;

  explicit StatsReporter(Reader read, KeyAdder addKeys = {});
  ~StatsReporter();
  StatsReporter(const StatsReporter&) = delete;
  StatsReporter& operator=(const StatsReporter&) = delete;

  // Ends the periodic lines and writes one more with the final figures.
  void Finish();

 private:
  void Run();
  void WriteLine();

  Reader m_read;
  KeyAdder m_addKeys;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastTime;
  ReceptionStatistics m_last;
  std::mutex m_mutex;
  std::condition_variable m_stop;
  bool m_stopping = false;
  std::thread m_thread;
};

}  // namespace korv::vexatools
