#include "korv/vexatools/StatsReport.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

namespace korv::vexatools {
namespace {

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// A per-second rate of a counter's growth; 0 for an empty interval.
double Rate(std::uint64_t now, std::uint64_t before, double interval) {
  return interval > 0 && now >= before ? static_cast<double>(now - before) / interval : 0.0;
}

}  // namespace

StatsLine& StatsLine::Add(std::string_view key, std::uint64_t value) {
  if (!m_text.empty()) m_text += ' ';
  fmt::format_to(std::back_inserter(m_text), "{}={}", key, value);
  return *this;
}

StatsLine& StatsLine::Add(std::string_view key, double value, int decimals) {
  if (!m_text.empty()) m_text += ' ';
  fmt::format_to(std::back_inserter(m_text), "{}={:.{}f}", key, value, decimals);
  return *this;
}

StatsLine ReceptionStatsLine(const ReceptionStatistics& now, const ReceptionStatistics& before, double elapsed,
                             double interval) {
  StatsLine line;
  line.Add("elapsed", elapsed, 1)
      .Add("datagrams", now.datagrams)
      .Add("bytes", now.bytes)
      .Add("samples_per_s", Rate(now.completeSamples, before.completeSamples, interval), 1)
      .Add("mb_per_s", Rate(now.bytes, before.bytes, interval) / 1e6, 1)
      .Add("complete", now.completeSamples)
      .Add("incomplete", now.incompleteSamples)
      .Add("frames_missing", now.framesMissing)
      .Add("other_sample_frames", now.otherSampleFrames)
      .Add("socket_drops", now.socketDrops)
      .Add("junk", now.Junk())
      .Add("duplicate_leaders", now.duplicateLeaders);
  return line;
}

// Every datagram the socket buffer dropped is a frame missing from some
// sample (or a junk datagram); frames missing beyond those never reached
// this host: lost on the network or never sent.
std::string LossSummary(const ReceptionStatistics& s) {
  const std::uint64_t beyondHost = s.framesMissing > s.socketDrops ? s.framesMissing - s.socketDrops : 0;
  return fmt::format(
      "Losses by cause:\n"
      "  incomplete samples: {} of {}, {} frame(s) missing\n"
      "  dropped by the socket buffer (this host did not keep up): {} datagram(s)\n"
      "  missing beyond those (network or sender): {} frame(s)\n"
      "  junk datagrams dropped: {} ({} short, {} oversize, {} malformed)\n"
      "  frames of another sample: {}\n"
      "  repeated leaders (duplicates, not losses): {}\n"
      "  socket receive buffer: {} bytes in force, {} bytes wanted\n",
      s.incompleteSamples, s.completeSamples + s.incompleteSamples, s.framesMissing, s.socketDrops, beyondHost,
      s.Junk(), s.junkShort, s.junkOversize, s.junkMalformed, s.otherSampleFrames, s.duplicateLeaders, s.receiveBufferInForce,
      s.receiveBufferWanted);
}

StatsReporter::StatsReporter(Reader read, KeyAdder addKeys)
    : m_read(std::move(read)),
      m_addKeys(std::move(addKeys)),
      m_start(std::chrono::steady_clock::now()),
      m_lastTime(m_start),
      m_thread([this] { Run(); }) {}

StatsReporter::~StatsReporter() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_stop.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void StatsReporter::Finish() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_stop.notify_all();
  if (m_thread.joinable()) m_thread.join();
  WriteLine();
}

void StatsReporter::Run() {
  std::unique_lock lock(m_mutex);
  auto next = m_start + std::chrono::seconds(1);
  while (!m_stop.wait_until(lock, next, [this] { return m_stopping; })) {
    WriteLine();
    next += std::chrono::seconds(1);
  }
}

// One write per line, so that lines from this thread never interleave
// with other output on standard error.
void StatsReporter::WriteLine() {
  const ReceptionStatistics now = m_read();
  const auto time = std::chrono::steady_clock::now();
  StatsLine line = ReceptionStatsLine(now, m_last, Seconds(time - m_start), Seconds(time - m_lastTime));
  if (m_addKeys) m_addKeys(line);
  const std::string text = line.Text() + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  m_last = now;
  m_lastTime = time;
}

}  // namespace korv::vexatools
