#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace quorvane {

// The process-wide logger. Sinks and level are chosen once, from SPDLOG_STDOUT,
// SPDLOG_SYSTEMD and SPDLOG_LEVEL, on the first call of Instance(). Every emitted
// line carries a rolling number (the n-th emitted line shows n modulo 128) and a
// level label; spdlog itself prints nothing but that text.
class Logger {
 public:
  static Logger& Instance();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Level number of spdlog (0 trace ... 5 critical) below which lines are dropped.
  int Level() const { return level_; }

  template <typename... Args>
  void Log(const spdlog::source_loc& loc, spdlog::level::level_enum level, const char* label,
           fmt::format_string<Args...> format, Args&&... args) {
    std::shared_ptr<spdlog::logger> logger = logger_;
    if (static_cast<int>(level) < level_) {
      return;  // not emitted, so not counted
    }
    const unsigned number = static_cast<uint8_t>(sequence_.fetch_add(1, std::memory_order_relaxed) + 1) & 0x7Fu;
    try {
      std::string line = fmt::format("{0:3d} [{1}] ", number, label);
      line += fmt::format(format, std::forward<Args>(args)...);
      if (logger) {
        logger->log(loc, level, spdlog::string_view_t(line));
      }
    } catch (...) {
      // A line that cannot be formatted or written is dropped; logging never ends the service.
    }
  }

 private:
  Logger();

  std::shared_ptr<spdlog::logger> logger_;
  std::atomic<uint8_t> sequence_{0};
  int level_ = 2;
};

}  // namespace quorvane

#define QLOG_AT_(level, label, ...)                                                           \
  ::quorvane::Logger::Instance().Log(::spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, \
                                     level, label, __VA_ARGS__)

// One macro per level; each carries the call site's source location.
#define QLOG_DEBUG(...) QLOG_AT_(::spdlog::level::debug, "DEBUG", __VA_ARGS__)
#define QLOG_INFO(...) QLOG_AT_(::spdlog::level::info, "INFO", __VA_ARGS__)
#define QLOG_ERROR(...) QLOG_AT_(::spdlog::level::err, "ERROR", __VA_ARGS__)
