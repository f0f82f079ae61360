#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace station_test {
namespace {

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound,
               std::chrono::milliseconds period) {
  for (const auto deadline = std::chrono::steady_clock::now() + bound; !condition();) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(period);
  }
  return true;
}

std::string ReadWholeFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::vector<std::string> ProgramArgs(std::vector<std::string> args) {
  if (TestEmulator() != nullptr) args.insert(args.begin(), TestEmulator());
  return args;
}

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
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) result.exit_code = ExitCode(status);
  return result;
}

Process::Process(const std::vector<std::string>& args, const std::string& log_path, const std::vector<std::string>& env)
    : log_path_(log_path) {
  std::vector<std::string> env_text = env;
  for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
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

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << content;
  return path_ + "/" + name;
}

}  // namespace station_test
