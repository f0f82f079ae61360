// The logger reads its environment once, on first use: each case runs in a child process.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "logger.h"
#include "support/process.h"

namespace {

// The lines `body` prints under SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL as given (nullptr: unset).
template <typename Body>
std::vector<std::string> LinesOf(std::vector<const char*> env, Body body) {
  std::istringstream out(station_test::RunInChild([&] {
                           const char* names[] = {"SPDLOG_STDOUT", "SPDLOG_SYSTEMD", "SPDLOG_LEVEL"};
                           for (int i = 0; i < 3; ++i) env[i] ? setenv(names[i], env[i], 1) : unsetenv(names[i]);
                           return body(), 0;
                         }).output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

TEST(Logger, EnvironmentSelectsNoticesAndLevelAndLinesAreNumbered) {
  const std::string var = "environment variable SPDLOG_", level = var + "LEVEL is invalid, and set default level";
  const std::vector<std::string> ie = {"  1 [INFO] i", "  2 [ERROR] e"};
  const std::vector<std::pair<std::vector<const char*>, std::vector<std::string>>> rows = {
      {{nullptr, nullptr, nullptr},
       {var + "STDOUT is not set, and set true", var + "SYSTEMD is not set, and set false",
        var + "LEVEL is not set, and set default level", ie[0], ie[1]}},
      {{"true", "false", "debug"}, {"  1 [DEBUG] d", "  2 [INFO] i", "  3 [ERROR] e"}},
      {{"true", "false", "info"}, ie}, {{"true", "false", "warning"}, {"  1 [ERROR] e"}},
      {{"true", "false", "critical"}, {}}, {{"false", "false", "debug"}, {}},
      {{"true", "false", "warn"}, {level, ie[0], ie[1]}}, {{"true", "false", "INFO"}, {level, ie[0], ie[1]}},
      {{"yes", "maybe", "info"},
       {var + "STDOUT is invalid, and set true", var + "SYSTEMD is invalid, and set false", ie[0], ie[1]}},
  };
  for (const auto& [env, expected] : rows) {
    EXPECT_EQ(LinesOf(env, [] { QLOG_DEBUG("d"), QLOG_INFO("i"), QLOG_ERROR("e"); }), expected)
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
  std::vector<int> seen(128);  // 1024 lines: each of 0..127 eight times
  for (size_t i = 0; i + 1 < lines.size(); ++i) seen.at(std::stoi(lines[i].substr(0, 3)))++;
  EXPECT_EQ(seen, std::vector<int>(128, 8));
  EXPECT_EQ(lines.back(), "  1 [INFO] last");
}

}  // namespace
