#include "logger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

namespace quorvane {
namespace {

// The notices go straight to standard output: the logger they describe does not exist yet.
void Notice(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int LevelFromName(const char* name) {
  static const struct {
    const char* name;
    int level;
  } kLevels[] = {{"trace", 0}, {"debug", 1}, {"info", 2}, {"warning", 3}, {"error", 4}, {"critical", 5}};
  for (const auto& entry : kLevels) {
    if (std::strcmp(entry.name, name) == 0) {
      return entry.level;
    }
  }
  return -1;
}

}  // namespace

Logger& Logger::Instance() {
  // Never destroyed: detached threads (the report server, task workers) may
  // still log while the process exits, after static destructors have run.
  static Logger* const instance = new Logger;
  return *instance;
}

Logger::Logger() {
  std::vector<spdlog::sink_ptr> sinks;
  try {
    const char* to_stdout = std::getenv("SPDLOG_STDOUT");
    bool console = true;
    if (to_stdout == nullptr) {
      Notice("environment variable SPDLOG_STDOUT is not set, and set true\n");
    } else if (std::strcmp(to_stdout, "false") == 0) {
      console = false;
    } else if (std::strcmp(to_stdout, "true") != 0) {
      Notice("environment variable SPDLOG_STDOUT is invalid, and set true\n");
    }
    if (console) {
      sinks.push_back(std::make_shared<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>());
    }

    const char* to_journal = std::getenv("SPDLOG_SYSTEMD");
    if (to_journal == nullptr) {
      Notice("environment variable SPDLOG_SYSTEMD is not set, and set false\n");
    } else if (std::strcmp(to_journal, "true") == 0) {
      sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>("", false));
    } else if (std::strcmp(to_journal, "false") != 0) {
      Notice("environment variable SPDLOG_SYSTEMD is invalid, and set false\n");
    }

    logger_ = std::make_shared<spdlog::logger>("spdlog", sinks.begin(), sinks.end());

    const char* level_name = std::getenv("SPDLOG_LEVEL");
    int level = 2;
    if (level_name == nullptr) {
      Notice("environment variable SPDLOG_LEVEL is not set, and set default level\n");
    } else {
      level = LevelFromName(level_name);
      if (level < 0) {
        Notice("environment variable SPDLOG_LEVEL is invalid, and set default level\n");
        level = 2;
      }
    }
    level_ = level;
    logger_->set_level(static_cast<spdlog::level::level_enum>(level));
    logger_->set_pattern("%v", spdlog::pattern_time_type::local);
  } catch (...) {
    // The logger keeps whatever was built; a service without logs still runs.
  }
}

}  // namespace quorvane
