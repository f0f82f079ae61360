// Stopping the real service: SIGTERM switches every actuator off before the
// process ends, and systemd hears READY=1, WATCHDOG=1 and STOPPING=1.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "e2e_env.h"

namespace station_test {
namespace {

const std::vector<std::string> kEverythingOff = {
    "CHARGING 0",          "HAND_CHARGE 0",    "HEATING_WIRE 0",
    "HEATING_FAN 0",       "COLLECT_DUST 0",   "SELF_CLEAN_PUMP 0",
    "SEWAGE_PUMP 0",       "UV_LAMP 0",        "DISINFECTANT_PLATES_MOTOR 0",
    "CLEANING_LIQUID_PUMP 0", "PERFUME_PUMP 0", "TAP_WATER_SWITCH 0",
    "SUPPLY_WATER_SWITCH 0",  "DRAINAGE_SWITCH 0"};

// Every actuator the board has ever been told about, with its last value.
std::vector<std::pair<std::string, int>> Actuators(EndToEnd& e2e) {
  static const std::regex entry(R"re("ENUM_SUPPLY_([A-Z0-9_]+)":(-?[0-9]+))re");
  const std::string state = e2e.Board("state");
  std::vector<std::pair<std::string, int>> out;
  for (auto it = std::sregex_iterator(state.begin(), state.end(), entry); it != std::sregex_iterator(); ++it) {
    out.emplace_back((*it)[1].str(), std::stoi((*it)[2].str()));
  }
  return out;
}

TEST(SafeStopEndToEnd, SigtermWhileTasksRunLeavesEveryActuatorOff) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();
  e2e.Board("dock");
  e2e.Board("set heatingWireTemp 20");
  ASSERT_NE(e2e.Supply(6, 2).find("\"errCode\":0"), std::string::npos);  // heating fan
  ASSERT_NE(e2e.Supply(5, 2).find("\"errCode\":0"), std::string::npos);  // heating wire
  ASSERT_NE(e2e.Supply(9, 2).find("\"errCode\":0"), std::string::npos);  // UV lamp
  for (const char* actuator : {"HEATING_FAN", "HEATING_WIRE", "UV_LAMP"}) {
    ASSERT_TRUE(e2e.PollActuator(actuator, 1)) << actuator << "\n" << e2e.station().Output();
  }

  ASSERT_EQ(::kill(e2e.station().pid(), SIGTERM), 0);
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::seconds(25)), 0) << e2e.station().Output();
  EXPECT_TRUE(HasInOrder(e2e.BoardCommands(), kEverythingOff)) << e2e.Board("log");
  for (const auto& [name, value] : Actuators(e2e)) {
    EXPECT_EQ(value, 0) << name << " left on";
  }
  EXPECT_TRUE(e2e.station().OutputHas("safe stop: 14 actuators switched off, 0 failed")) << e2e.station().Output();
}

TEST(SafeStopEndToEnd, SilentBoardStillEndsTheStopInTime) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  e2e.Board("fail next 100 silent");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(e2e.station().pid(), SIGTERM), 0);
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::seconds(25)), 0) << e2e.station().Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(18));
  EXPECT_TRUE(e2e.station().OutputHas("ErrorCode: 101900074, safe stop: switching off charging failed"))
      << e2e.station().Output();
}

// The notification socket that systemd would serve for a Type=notify unit.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ::unlink(path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~NotifySocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool bound() const { return bound_; }

  // Collects datagrams until one contains `text` or `bound` passes.
  bool WaitFor(const std::string& text, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (received_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) == 1) {
        char buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n > 0) {
          received_.append(buffer, static_cast<size_t>(n)).append("\n");
        }
      }
    }
    return true;
  }
  const std::string& received() const { return received_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::string received_;
};

TEST(SafeStopEndToEnd, SystemdHearsReadyWatchdogAndStopping) {
  TempDir dir;
  NotifySocket notify(dir.path() + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  ::setenv("NOTIFY_SOCKET", (dir.path() + "/notify.sock").c_str(), 1);
  EndToEnd e2e;
  E2eOptions options;
  options.broker_up = false;  // the broker retry loop keeps the watchdog fed too
  ASSERT_TRUE(e2e.Start(options));
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(20))) << e2e.station().Output();
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", std::chrono::seconds(20))) << notify.received();
  ASSERT_EQ(::kill(e2e.station().pid(), SIGTERM), 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", std::chrono::seconds(10))) << notify.received();
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::seconds(25)), 0) << e2e.station().Output();
}

}  // namespace
}  // namespace station_test
