#pragma once
// The one way tests start processes (the project's programs through the emulator that
// STATION_TEST_EMULATOR names, when built for another architecture; mosquitto; openssl), a forked
// child of the test process for what needs a fresh process state, and a private temporary folder.
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace station_test {

// Polls `condition` every `period` until it holds or `bound` has passed; its last value.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(10),
               std::chrono::milliseconds period = std::chrono::milliseconds(10));
std::string ReadWholeFile(const std::string& path);
inline const char* TestEmulator() {
  const char* emulator = std::getenv("STATION_TEST_EMULATOR");
  return emulator != nullptr && emulator[0] != '\0' ? emulator : nullptr;
}
std::vector<std::string> ProgramArgs(std::vector<std::string> args);  // argv for one of the project's programs

struct ChildResult {
  int exit_code = -1;  // exit status, or 128 + signal number
  std::string output;  // what the child wrote to standard output
};
// Runs `body` in a forked child with standard output captured; the child exits with what `body` returns.
ChildResult RunInChild(const std::function<int()>& body);

// A child process with standard output and error in `log_path` and `env` added to the
// environment; killed and reaped when the object goes.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& log_path, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  bool started() const { return pid_ > 0; }
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
  std::string Write(const std::string& name, const std::string& content) const;  // the file's path

 private:
  std::string path_;
};

}  // namespace station_test
