#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace station_test {

// Tests built for another architecture (scripts/cross-arm64) start the
// project's own programs through the emulator that STATION_TEST_EMULATOR
// names; otherwise the programs run directly.
inline const char* TestEmulator() {
  const char* emulator = std::getenv("STATION_TEST_EMULATOR");
  return emulator != nullptr && emulator[0] != '\0' ? emulator : nullptr;
}

// An argument vector for posix_spawn of one of the project's programs.
inline std::vector<std::string> ProgramArgs(std::vector<std::string> args) {
  if (const char* emulator = TestEmulator()) {
    args.insert(args.begin(), emulator);
  }
  return args;
}

// A shell command line that starts one of the project's programs.
inline std::string ProgramCommand(const std::string& command) {
  if (const char* emulator = TestEmulator()) {
    return std::string(emulator) + " " + command;
  }
  return command;
}

}  // namespace station_test
