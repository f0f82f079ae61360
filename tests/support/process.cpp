#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

extern char** environ;

namespace station_test {
namespace {

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

ChildResult RunInChild(const std::function<int()>& body) {
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

Process::Process(std::vector<std::string> args, const std::string& log_path, const std::vector<std::string>& env)
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

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Process::WaitExit(std::chrono::milliseconds bound) {
  int status = 0;
  if (status_ < 0 && pid_ > 0 && PollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
    status_ = ExitCode(status);
  }
  return status_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "station_test_XXXXXX").string();
  path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace station_test
