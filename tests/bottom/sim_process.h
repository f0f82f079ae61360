#pragma once

#include "support/spawn.h"

// Runs the real station_board_sim binary for a test and talks to its control
// port. The simulator announces its ports on standard output ("command port N",
// "control port M"); every control command is answered with exactly one line.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace station_test {

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  ~SimProcess() {
    if (control_fd_ >= 0) {
      ::close(control_fd_);
    }
    if (out_fd_ >= 0) {
      ::close(out_fd_);
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  // Starts the simulator with `args` (plus free command and control ports) and
  // connects to its control port. False when it did not come up in time.
  bool Start(std::vector<std::string> args) {
    args.insert(args.begin(), {STATION_BINARY_DIR "/station_board_sim", "--command-port", "0", "--control-port", "0", "--exit-with-parent"});
    args = ProgramArgs(std::move(args));
    int out[2];
    if (::pipe(out) != 0) {
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (auto& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_fd_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    std::string line;
    while (ReadLine(out_fd_, &out_held_, &line, 10000)) {
      std::sscanf(line.c_str(), "command port %d", &command_port_);
      if (std::sscanf(line.c_str(), "control port %d", &control_port_) == 1) {
        break;
      }
    }
    if (command_port_ <= 0 || control_port_ <= 0) {
      return false;
    }
    control_fd_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(control_port_));
    return ::connect(control_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }

  // Sends one control line and returns the one-line reply ("" on time-out).
  std::string Command(const std::string& line) {
    const std::string out = line + "\n";
    if (::send(control_fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
      return "";
    }
    std::string reply;
    return ReadLine(control_fd_, &control_held_, &reply, 5000) ? reply : "";
  }

  int command_port() const { return command_port_; }
  int control_port() const { return control_port_; }

 private:
  static bool ReadLine(int fd, std::string* held, std::string* line, int bound_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    for (;;) {
      const size_t eol = held->find('\n');
      if (eol != std::string::npos) {
        *line = held->substr(0, eol);
        held->erase(0, eol + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return false;
      }
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n <= 0) {
        return false;
      }
      held->append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int control_fd_ = -1;
  std::string out_held_;
  std::string control_held_;
  int command_port_ = 0;
  int control_port_ = 0;
};

}  // namespace station_test
