// The logger reads its environment once, on first use: every case runs in a
// child process of its own.
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs `body` in a child with SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL as given (nullptr: unset).
template <typename Body>
std::vector<std::string> LinesOf(std::vector<const char*> env, Body body) {
  return Lines(station_test::RunInChild([&] {
                 const char* names[] = {"SPDLOG_STDOUT", "SPDLOG_SYSTEMD", "SPDLOG_LEVEL"};
                 for (int i = 0; i < 3; ++i) env[i] == nullptr ? unsetenv(names[i]) : setenv(names[i], env[i], 1);
                 body();
                 return 0;
               }).output);
}

TEST(Logger, EnvironmentSelectsNoticesAndLevelAndLinesAreNumbered) {
  const std::string unset = "environment variable SPDLOG_", invalid = "environment variable SPDLOG_LEVEL is invalid";
  const std::vector<std::pair<std::vector<const char*>, std::vector<std::string>>> rows = {
      {{nullptr, nullptr, nullptr},
       {unset + "STDOUT is not set, and set true", unset + "SYSTEMD is not set, and set false",
        unset + "LEVEL is not set, and set default level", "  1 [INFO] i", "  2 [ERROR] e"}},
      {{"true", "false", "debug"}, {"  1 [DEBUG] d", "  2 [INFO] i", "  3 [ERROR] e"}},
      {{"true", "false", "trace"}, {"  1 [DEBUG] d", "  2 [INFO] i", "  3 [ERROR] e"}},
      {{"true", "false", "info"}, {"  1 [INFO] i", "  2 [ERROR] e"}},
      {{"true", "false", "warning"}, {"  1 [ERROR] e"}},
      {{"true", "false", "error"}, {"  1 [ERROR] e"}},
      {{"true", "false", "critical"}, {}},
      {{"true", "false", "warn"}, {invalid + ", and set default level", "  1 [INFO] i", "  2 [ERROR] e"}},
      {{"true", "false", "INFO"}, {invalid + ", and set default level", "  1 [INFO] i", "  2 [ERROR] e"}},
      {{"yes", "maybe", "info"},
       {unset + "STDOUT is invalid, and set true", unset + "SYSTEMD is invalid, and set false", "  1 [INFO] i",
        "  2 [ERROR] e"}},
      {{"false", "false", "debug"}, {}},
  };
  for (const auto& [env, expected] : rows) {
    EXPECT_EQ(LinesOf(env, [] { QLOG_DEBUG("d"); QLOG_INFO("i"); QLOG_ERROR("e"); }), expected)
        << (env[0] ? env[0] : "-") << " " << (env[1] ? env[1] : "-") << " " << (env[2] ? env[2] : "-");
  }
}

TEST(Logger, NumbersRollOverAt128AndConcurrentLinesTakeDistinctNumbers) {
  const auto lines = LinesOf({"true", "false", "info"}, [] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([] { for (int i = 0; i < 256; ++i) QLOG_INFO("line"); });
    for (auto& thread : threads) thread.join();
    QLOG_INFO("last");
  });
  ASSERT_EQ(lines.size(), 1025u);
  std::map<int, int> seen;
  for (size_t i = 0; i + 1 < lines.size(); ++i) seen[std::stoi(lines[i].substr(0, 3))]++;
  ASSERT_EQ(seen.size(), 128u);  // 1024 lines: every number 0..127 exactly 8 times
  for (const auto& [number, count] : seen) EXPECT_EQ(count, 8) << "number " << number;
  EXPECT_EQ(lines.back(), "  1 [INFO] last");
}

}  // namespace
