// Board link benchmark against the simulated board over loopback:
//  1. DoAction round trip: median and 99th percentile over N exchanges.
//  2. Sensor intake: the simulator reports at R a second for S seconds into the
//     station's report server; reports sent, delivered, lost and corrupt.
//  3. Board restart: the reporting board freezes with its report connection
//     open (as a board that reboots cannot close it) and a new board process
//     starts; the time from its start to its first report taken in, K times.
// Usage: board_link_bench [--sim PATH] [--exchanges N] [--rate R] [--seconds S] [--restarts K]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "config.h"
#include "support/fake_board.h"
#include "support/service_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

// The simulator of the service rig, frozen and stopped as a board that reboots.
class Sim {
 public:
  void Stop() { board_.reset(); }
  // The board stops dead: its connections stay open and silent.
  void Freeze() { ::kill(board_->process().pid(), SIGSTOP); }
  bool Start(const std::string& path, std::vector<std::string> args) {
    board_ = std::make_unique<station_test::BoardSim>();
    return board_->Start(std::move(args), path);
  }
  std::string Command(const std::string& line) { return board_->Command(line); }
  long long Number(const std::string& command, const std::string& key) { return board_->Number(command, key); }
  int command_port() const { return board_->command_port(); }

 private:
  std::unique_ptr<station_test::BoardSim> board_;
};

std::atomic<long long> delivered{0};
std::atomic<long long> corrupt{0};
std::atomic<uint32_t> last_seq{0};
std::atomic<int32_t> last_fan_fg{0};

}  // namespace

int main(int argc, char** argv) {
  ::setenv("SPDLOG_LEVEL", "error", 0);  // the per-exchange info lines would dominate the timing
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  std::string sim_path = std::string(argv[0]);
  sim_path = sim_path.substr(0, sim_path.find_last_of('/') + 1) + "station_board_sim";
  int exchanges = 2000;
  double rate = 100;
  int seconds = 30;
  int restarts = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--sim") {
      sim_path = argv[i + 1];
    } else if (opt == "--exchanges") {
      exchanges = std::max(1, std::atoi(argv[i + 1]));
    } else if (opt == "--rate") {
      rate = std::atof(argv[i + 1]);
    } else if (opt == "--seconds") {
      seconds = std::max(1, std::atoi(argv[i + 1]));
    } else if (opt == "--restarts") {
      restarts = std::max(0, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: %s [--sim PATH] [--exchanges N] [--rate R] [--seconds S] [--restarts K]\n",
                   argv[0]);
      return 2;
    }
  }

  // 1. Round trip.
  const uint16_t report_port = station_test::PickFreeLoopbackPort();
  auto first_board = std::make_unique<Sim>();
  Sim& sim = *first_board;
  if (!sim.Start(sim_path, {"--report-rate", "0", "--report-port", std::to_string(report_port)})) {
    std::fprintf(stderr, "cannot start %s\n", sim_path.c_str());
    return 1;
  }
  using station_center::config_reader;
  config_reader.embedded_ip = "127.0.0.1";
  config_reader.embedded_action_port = static_cast<uint16_t>(sim.command_port());
  config_reader.soc_ip = "127.0.0.1";
  config_reader.soc_data_server_port = report_port;
  config_reader.bottom_action_timeout = 2;
  // Leaked on purpose: the report server thread is detached.
  auto* comm = new station_center::EmbeddedCommunicator();
  comm->Init([](const station::SensorsDataRep& r) {
    delivered.fetch_add(1);
    last_fan_fg.store(r.heatfanfg());
    const uint32_t prev = last_seq.exchange(r.seq());
    if (r.seq() <= prev || r.negativepressure() != -12345 || r.heatfanfg() != 4242) {
      corrupt.fetch_add(1);
    }
  });
  station::ActionCommand cmd;
  cmd.set_supply_type_(station::ENUM_SUPPLY_UV_LAMP);
  std::vector<double> us;
  us.reserve(static_cast<size_t>(exchanges));
  int failed = 0;
  for (int i = 0; i < exchanges + 50; ++i) {
    cmd.set_action_(i & 1);
    const auto start = Clock::now();
    const bool ok = comm->DoAction(cmd);
    const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (i < 50) {
      continue;  // warm-up
    }
    failed += ok ? 0 : 1;
    us.push_back(took);
  }
  std::sort(us.begin(), us.end());
  const double median = us[us.size() / 2];
  const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  std::printf("round trip: %zu exchanges, %d failed, median %.1f us, p99 %.1f us, max %.1f us\n", us.size(), failed,
              median, p99, us.back());
  std::fflush(stdout);

  // 2. Sensor intake: the same simulator now reports at `rate`.
  sim.Command("set negativePressure -12345");
  sim.Command("set heatFanFG 4242");
  sim.Command("rate " + std::to_string(rate));
  const auto connected_deadline = Clock::now() + std::chrono::seconds(10);
  while (sim.Number("stats", "reports_sent") == 0 && Clock::now() < connected_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  sim.Command("reports pause");
  const long long sent = sim.Number("stats", "reports_sent");
  const auto drain_deadline = Clock::now() + std::chrono::seconds(5);
  while (delivered.load() < sent && Clock::now() < drain_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("intake: %.0f reports/s for %d s: sent %lld, delivered %lld, lost %lld, corrupt %lld\n", rate, seconds,
              sent, delivered.load(), sent - delivered.load(), corrupt.load());
  std::fflush(stdout);
  const bool intake_ok = failed == 0 && sent == delivered.load() && corrupt.load() == 0;

  // 3. Board restart: each new board reports a fan reading of its own from its
  // first report on, so its first report taken in is known by that value.
  sim.Command("rate 10");
  std::vector<double> restart_ms;
  bool restarts_ok = true;
  std::unique_ptr<Sim> board = std::move(first_board);
  char state_path[] = "/tmp/board_link_bench.XXXXXX";
  const int state_fd = ::mkstemp(state_path);
  for (int k = 1; k <= restarts && state_fd >= 0; ++k) {
    const int32_t marker = 1000 + k;
    const std::string state = "{\"heatFanFG\": " + std::to_string(marker) + "}";
    if (::pwrite(state_fd, state.data(), state.size(), 0) != static_cast<ssize_t>(state.size()) ||
        ::ftruncate(state_fd, static_cast<off_t>(state.size())) != 0) {
      restarts_ok = false;
      break;
    }
    board->Freeze();
    const auto start = Clock::now();
    auto fresh = std::make_unique<Sim>();
    if (!fresh->Start(sim_path, {"--report-rate", "10", "--report-port", std::to_string(report_port), "--state",
                                 state_path})) {
      restarts_ok = false;
      break;
    }
    while (last_fan_fg.load() != marker && Clock::now() - start < std::chrono::seconds(60)) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (last_fan_fg.load() != marker) {
      restarts_ok = false;
      break;
    }
    restart_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    board->Stop();
    board = std::move(fresh);
  }
  if (state_fd >= 0) {
    ::close(state_fd);
    ::unlink(state_path);
  }
  if (restarts > 0) {
    std::sort(restart_ms.begin(), restart_ms.end());
    std::string each;
    for (double ms : restart_ms) {
      each += (each.empty() ? "" : ", ") + std::to_string(static_cast<int>(ms + 0.5));
    }
    std::printf("board restart to first report taken in, %zu restarts: median %.0f ms, max %.0f ms (each: %s ms)%s\n",
                restart_ms.size(), restart_ms.empty() ? 0.0 : restart_ms[restart_ms.size() / 2],
                restart_ms.empty() ? 0.0 : restart_ms.back(), each.c_str(), restarts_ok ? "" : "; FAILED");
    std::fflush(stdout);
  }
  board->Stop();
  // The report server thread is detached and still uses the communicator.
  std::_Exit(intake_ok && restarts_ok ? 0 : 1);
}
