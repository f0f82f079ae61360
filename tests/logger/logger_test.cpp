// The logger reads its environment once, on first use, so every case runs in a
// child process of its own with the environment it needs.
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logger.h"
#include "support/child_process.h"

namespace {

using station_test::RunInChild;

struct Env {
  const char* stdout_value;  // nullptr: unset
  const char* systemd_value;
  const char* level_value;
};

void Apply(const Env& env) {
  auto set = [](const char* name, const char* value) {
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  };
  set("SPDLOG_STDOUT", env.stdout_value);
  set("SPDLOG_SYSTEMD", env.systemd_value);
  set("SPDLOG_LEVEL", env.level_value);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

TEST(Logger, DefaultsPrintNoticesThenNumberedInfoAndErrorLines) {
  auto result = RunInChild([] {
    Apply({nullptr, nullptr, nullptr});
    QLOG_DEBUG("dropped {}", 0);
    QLOG_INFO("first {}", 1);
    QLOG_ERROR("ErrorCode: {}, second", 101900062);
    return 0;
  });
  ASSERT_EQ(result.exit_code, 0);
  const std::vector<std::string> expected = {
      "environment variable SPDLOG_STDOUT is not set, and set true",
      "environment variable SPDLOG_SYSTEMD is not set, and set false",
      "environment variable SPDLOG_LEVEL is not set, and set default level",
      "  1 [INFO] first 1",
      "  2 [ERROR] ErrorCode: 101900062, second",
  };
  EXPECT_EQ(Lines(result.output), expected);
}

TEST(Logger, EnvironmentValuesSelectNoticesAndLevel) {
  struct Case {
    Env env;
    std::vector<std::string> notices;
    std::vector<std::string> lines;  // after logging one debug, one info and one error line
  };
  const std::vector<Case> cases = {
      {{"true", "false", "debug"}, {}, {"  1 [DEBUG] d", "  2 [INFO] i", "  3 [ERROR] e"}},
      {{"true", "false", "trace"}, {}, {"  1 [DEBUG] d", "  2 [INFO] i", "  3 [ERROR] e"}},
      {{"true", "false", "info"}, {}, {"  1 [INFO] i", "  2 [ERROR] e"}},
      {{"true", "false", "warning"}, {}, {"  1 [ERROR] e"}},
      {{"true", "false", "error"}, {}, {"  1 [ERROR] e"}},
      {{"true", "false", "critical"}, {}, {}},
      {{"true", "false", "warn"},
       {"environment variable SPDLOG_LEVEL is invalid, and set default level"},
       {"  1 [INFO] i", "  2 [ERROR] e"}},
      {{"true", "false", "INFO"},
       {"environment variable SPDLOG_LEVEL is invalid, and set default level"},
       {"  1 [INFO] i", "  2 [ERROR] e"}},
      {{"yes", "maybe", "info"},
       {"environment variable SPDLOG_STDOUT is invalid, and set true",
        "environment variable SPDLOG_SYSTEMD is invalid, and set false"},
       {"  1 [INFO] i", "  2 [ERROR] e"}},
      {{"false", "false", "debug"}, {}, {}},
  };
  for (const auto& c : cases) {
    auto result = RunInChild([&c] {
      Apply(c.env);
      QLOG_DEBUG("d");
      QLOG_INFO("i");
      QLOG_ERROR("e");
      return 0;
    });
    std::vector<std::string> expected = c.notices;
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(Lines(result.output), expected)
        << "SPDLOG_STDOUT=" << c.env.stdout_value << " SPDLOG_SYSTEMD=" << c.env.systemd_value
        << " SPDLOG_LEVEL=" << c.env.level_value;
  }
}

TEST(Logger, NumberRollsOverAtOneHundredTwentyEight) {
  auto result = RunInChild([] {
    Apply({"true", "false", "info"});
    for (int i = 1; i <= 300; ++i) {
      QLOG_INFO("line {}", i);
    }
    return 0;
  });
  auto lines = Lines(result.output);
  ASSERT_EQ(lines.size(), 300u);
  EXPECT_EQ(lines[126], "127 [INFO] line 127");
  EXPECT_EQ(lines[127], "  0 [INFO] line 128");
  EXPECT_EQ(lines[128], "  1 [INFO] line 129");
  EXPECT_EQ(lines[255], "  0 [INFO] line 256");
  EXPECT_EQ(lines[256], "  1 [INFO] line 257");
}

TEST(Logger, ConcurrentLinesEachTakeOwnNumber) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 256;  // 1024 lines: every number 0..127 exactly 8 times
  auto result = RunInChild([] {
    Apply({"true", "false", "info"});
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kPerThread; ++i) {
          QLOG_INFO("thread {} line {}", t, i);
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    return 0;
  });
  auto lines = Lines(result.output);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  std::map<int, int> seen;
  for (const auto& line : lines) {
    seen[std::stoi(line.substr(0, 3))]++;
  }
  ASSERT_EQ(seen.size(), 128u);
  for (const auto& [number, count] : seen) {
    EXPECT_EQ(count, kThreads * kPerThread / 128) << "number " << number;
  }
}

}  // namespace
