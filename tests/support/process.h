#pragma once
// The one way tests start processes (the project's programs through the emulator that
// STATION_TEST_EMULATOR names, when built for another architecture; mosquitto; openssl), a forked
// child of the test process for what needs a fresh process state, and a private temporary folder.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
inline ChildResult RunInChild(const std::function<int()>& body) {
  ChildResult result;
  int fds[2];
  if (::pipe(fds) != 0) return result;
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    const int code = body();
    std::fflush(stdout);
    ::_exit(code);
  }
  ::close(fds[1]);
  char buffer[4096];
  for (ssize_t n; pid > 0 && (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;) result.output.append(buffer, size_t(n));
  ::close(fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return result;
}

// A child process with standard output and error in `log_path` and `env` added to the
// environment; killed and reaped when the object goes. A program of this build runs through the
// test emulator, if one is named.
class Process {
 public:
  Process(std::vector<std::string> args, const std::string& log_path, const std::vector<std::string>& env = {})
      : log_path_(log_path) {
    const bool ours = args[0].rfind(STATION_BINARY_DIR "/", 0) == 0;
    if (ours && TestEmulator() != nullptr) args.insert(args.begin(), TestEmulator());
    std::vector<std::string> env_text = env;
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (std::string& arg : args) argv.push_back(arg.data());
    for (std::string& e : env_text) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
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
  int WaitExit(std::chrono::milliseconds bound) {
    int status = 0;
    if (status_ < 0 && pid_ > 0 && PollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_;
  }

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A private temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "station_test_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
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
