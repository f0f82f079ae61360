#pragma once
// The one way tests start processes (the project's programs through the emulator that
// STATION_TEST_EMULATOR names, when built for another architecture; mosquitto; openssl), a forked
// child of the test process for what needs a fresh process state, and a private temporary folder.
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace station_test {

// Polls `condition` every `period` until it holds or `bound` has passed; its last value.
inline bool PollUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = std::chrono::seconds(10),
                      std::chrono::milliseconds period = std::chrono::milliseconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + bound; !condition();) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(period);
  }
  return true;
}
inline std::string ReadWholeFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}
inline const char* TestEmulator() {
  const char* emulator = std::getenv("STATION_TEST_EMULATOR");
  return emulator != nullptr && emulator[0] != '\0' ? emulator : nullptr;
}

struct ChildResult {
  std::string output;  // what the child wrote to standard output
};
// Runs `body` in a forked child with standard output captured, until the child ended.
ChildResult RunInChild(const std::function<int()>& body);

// A child process with standard output and error in `log_path` and `env` added to the
// environment; killed and reaped when the object goes. A program of this build runs through the
// test emulator, if one is named.
class Process {
 public:
  Process(std::vector<std::string> args, const std::string& log_path, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Runs `args` to its end within `bound`: whether it exited 0.
  static bool Run(const std::vector<std::string>& args, const std::string& log_path,
                  std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    return Process(args, log_path).WaitExit(bound) == 0;
  }
  pid_t pid() const { return pid_; }
  std::string Output() const { return ReadWholeFile(log_path_); }
  bool OutputHas(const std::string& text) const { return Output().find(text) != std::string::npos; }
  // The exit status (128 + signal when killed) once it ended within `bound`, else -1.
  int WaitExit(std::chrono::milliseconds bound);

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A private temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {  // the file's path
    std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << content;
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

}  // namespace station_test
