// Records what one named log4cplus logger writes while the capture lives,
// for tests that check message texts and levels.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

namespace vexatools::testsupport {

struct CapturedRecord {
  log4cplus::LogLevel level;
  std::string message;
  std::string file;  // the record's source label
  int line = 0;
  std::string function;  // the signature of the function that logged it
};

class LoggerCapture {
 public:
  // Sets `logger` to `level` and records every record that reaches it.
  explicit LoggerCapture(log4cplus::Logger logger, log4cplus::LogLevel level = log4cplus::TRACE_LOG_LEVEL)
      : m_logger(std::move(logger)), m_appender(new Appender), m_shared(m_appender) {
    m_logger.setLogLevel(level);
    m_logger.addAppender(m_shared);
  }
  ~LoggerCapture() { m_logger.removeAppender(m_shared); }
  LoggerCapture(const LoggerCapture&) = delete;
  LoggerCapture& operator=(const LoggerCapture&) = delete;

  std::vector<CapturedRecord> Records() const { return m_appender->Records(); }
  // Records at `level` whose message contains `text`.
  int Count(log4cplus::LogLevel level, const std::string& text) const {
    const auto records = Records();
    return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const CapturedRecord& record) {
      return record.level == level && record.message.find(text) != std::string::npos;
    }));
  }
  // Messages at `level`, in order.
  std::vector<std::string> Messages(log4cplus::LogLevel level) const {
    std::vector<std::string> messages;
    for (const auto& record : Records()) {
      if (record.level == level) messages.push_back(record.message);
    }
    return messages;
  }

 private:
  class Appender : public log4cplus::Appender {
   public:
    ~Appender() override { destructorImpl(); }
    void close() override {}
    std::vector<CapturedRecord> Records() const {
      std::lock_guard lock(m_mutex);
      return m_records;
    }

   protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
      std::lock_guard lock(m_mutex);
      m_records.push_back(
          {event.getLogLevel(), event.getMessage(), event.getFile(), event.getLine(), event.getFunction()});
    }

   private:
    mutable std::mutex m_mutex;
    std::vector<CapturedRecord> m_records;
  };

  log4cplus::Logger m_logger;
  Appender* m_appender;  // owned through m_shared
  log4cplus::SharedAppenderPtr m_shared;
};

}  // namespace vexatools::testsupport
