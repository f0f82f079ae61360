// Messaging benchmark: the robot's checkStation round trip through a real
// mosquitto to the real station service and back, beside a bare echo client
// through the same broker in the same run, in two settings: tuned (TCP_NODELAY
// on the robot's and the echo's sockets, set_tcp_nodelay on the broker) and
// every client and the broker at their defaults. Between the two, the broker
// is restarted K times: the time from its return to the station's first
// answer. Last, the idle service's CPU time and peak resident memory over a
// quiet period while the simulated board reports.
//
//   mqtt_bench [--requests N] [--default-requests M] [--restarts K]
//              [--idle-seconds S] [--report-rate R] [--station PATH] [--sim PATH]
//
// The station and the simulator are looked for beside this program. Every
// process started here is stopped at the end. Exit status 0 when every request
// got its reply.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <mqtt/async_client.h>

#include "mqtt/mqtt_client.h"
#include "support/fake_board.h"
#include "support/service_rig.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pass";
constexpr const char* kStation = "BENCH1";

struct Options {
  int requests = 2000;
  int default_requests = 200;  // each costs some 130 ms with Nagle's algorithm on
  int warmup = 100;
  int restarts = 5;
  int idle_seconds = 60;
  int report_rate = 5;
  std::string station;
  std::string sim;
};

std::string Dirname(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The tests' rig code: free port, loopback connection, process spawner, file reading, polling.
using station_test::PollUntil;
using station_test::ReadWholeFile;
uint16_t FreePort() { return station_test::PickFreeLoopbackPort(); }
bool PortAccepts(uint16_t port) {
  const int fd = station_test::ConnectLoopback(port);
  return fd >= 0 && ::close(fd) == 0;
}
using Child = station_test::Process;  // the tests' one process spawner

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

// A client that sends a request and waits for the next message on its reply topic.
class Requester : public mqtt::callback {
 public:
  Requester(const std::string& address, const std::string& id)
      : client_(address, id, mqtt::create_options(MQTTVERSION_5), nullptr) {
    client_.set_callback(*this);
  }
  ~Requester() override {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) {
        client_.disconnect()->wait_for(std::chrono::seconds(5));
      }
    } catch (const std::exception&) {
      // The broker may be gone already.
    }
  }

  bool Connect(const std::vector<std::string>& reply_topics) {
    try {
      mqtt::connect_options options;
      options.set_mqtt_version(MQTTVERSION_5);
      options.set_clean_start(true);
      options.set_user_name(kUser);
      options.set_password(kPassword);
      if (!client_.connect(options)->wait_for(std::chrono::seconds(10))) {
        return false;
      }
      for (const std::string& topic : reply_topics) {
        if (!client_.subscribe(topic, 1)->wait_for(std::chrono::seconds(10))) {
          return false;
        }
      }
      return true;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "requester: %s\n", e.what());
      return false;
    }
  }

  // Publishes at QoS 1 and waits for a reply on `reply_topic`; the round trip,
  // or a negative duration when no reply came within `bound`.
  std::chrono::nanoseconds RoundTrip(const std::string& topic, const std::string& reply_topic,
                                     const std::string& payload, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t before = replies_[reply_topic];
    const auto start = Clock::now();
    try {
      client_.publish(mqtt::make_message(topic, payload, 1, false));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "publish: %s\n", e.what());
      return std::chrono::nanoseconds(-1);
    }
    if (!arrived_.wait_for(lock, bound, [&] { return replies_[reply_topic] > before; })) {
      return std::chrono::nanoseconds(-1);
    }
    return Clock::now() - start;
  }

  void message_arrived(mqtt::const_message_ptr msg) override {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      ++replies_[msg->get_topic()];
      arrived_.notify_all();
    } catch (...) {
      // Nothing may escape a library callback.
    }
  }

 private:
  mqtt::async_client client_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::string, size_t> replies_;
};

// The bare echo: every message on the request topic goes straight back on the reply topic.
class Echo : public mqtt::callback {
 public:
  Echo(const std::string& address, std::string reply_topic)
      : client_(address, "bench_echo", mqtt::create_options(MQTTVERSION_5), nullptr),
        reply_topic_(std::move(reply_topic)) {
    client_.set_callback(*this);
  }
  ~Echo() override {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) {
        client_.disconnect()->wait_for(std::chrono::seconds(5));
      }
    } catch (const std::exception&) {
      // The broker may be gone already.
    }
  }

  bool Connect(const std::string& request_topic) {
    try {
      mqtt::connect_options options;
      options.set_mqtt_version(MQTTVERSION_5);
      options.set_clean_start(true);
      options.set_user_name(kUser);
      options.set_password(kPassword);
      return client_.connect(options)->wait_for(std::chrono::seconds(10)) &&
             client_.subscribe(request_topic, 1)->wait_for(std::chrono::seconds(10));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "echo: %s\n", e.what());
      return false;
    }
  }

  void message_arrived(mqtt::const_message_ptr msg) override {
    try {
      // The same work as the station's reply: QoS 1, not retained, token not waited for.
      client_.publish(mqtt::make_message(reply_topic_, msg->get_payload(), 1, false));
    } catch (...) {
      // Nothing may escape a library callback; a lost echo shows as a time-out.
    }
  }

 private:
  mqtt::async_client client_;
  std::string reply_topic_;
};

struct Stats {
  double median_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

Stats Summarise(std::vector<double> samples) {
  Stats stats;
  if (samples.empty()) {
    return stats;
  }
  std::sort(samples.begin(), samples.end());
  stats.median_us = samples[samples.size() / 2];
  stats.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  stats.max_us = samples.back();
  return stats;
}

// utime + stime of a process, in clock ticks; -1 when unreadable.
long long CpuTicks(pid_t pid) {
  const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) {
    return -1;
  }
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  // After the command name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) {
      utime = std::atoll(field.c_str());
    } else if (index == 15) {
      stime = std::atoll(field.c_str());
    }
  }
  return utime + stime;
}

// A "Vm...:" value of /proc/<pid>/status in kB; -1 when unreadable.
long StatusKb(pid_t pid, const std::string& key) {
  std::istringstream status(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::atol(line.c_str() + key.size() + 1);
    }
  }
  return -1;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  const std::string here = Dirname(argv[0]);
  options->station = here + "/quorvane_station_center";
  options->sim = here + "/station_board_sim";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--requests" && has_value) {
      options->requests = std::atoi(argv[++i]);
    } else if (arg == "--idle-seconds" && has_value) {
      options->idle_seconds = std::atoi(argv[++i]);
    } else if (arg == "--report-rate" && has_value) {
      options->report_rate = std::atoi(argv[++i]);
    } else if (arg == "--default-requests" && has_value) {
      options->default_requests = std::atoi(argv[++i]);
    } else if (arg == "--restarts" && has_value) {
      options->restarts = std::atoi(argv[++i]);
    } else if (arg == "--station" && has_value) {
      options->station = argv[++i];
    } else if (arg == "--sim" && has_value) {
      options->sim = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--requests N] [--default-requests M] [--restarts K] [--idle-seconds S] "
                   "[--report-rate R] [--station PATH] [--sim PATH]\n",
                   argv[0]);
      return false;
    }
  }
  return options->requests > 0 && options->default_requests > 0 && options->restarts >= 0 &&
         options->idle_seconds >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  // This process logs through the station's logger only when a socket setting fails.
  ::setenv("SPDLOG_LEVEL", "error", 0);
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    return 2;
  }
  char dir_template[] = "/tmp/mqtt_bench.XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;

  // The broker: loopback only, one user.
  const uint16_t mqtt_port = FreePort();
  {
    Child passwd({"/usr/bin/mosquitto_passwd", "-b", "-c", dir + "/passwd", kUser, kPassword}, dir + "/passwd.log");
    passwd.WaitExit(std::chrono::seconds(10));
  }
  // `tuned`: the broker sends without Nagle's algorithm (set_tcp_nodelay);
  // otherwise mosquitto's own default. Returns the running broker, or null.
  auto start_broker = [&](bool tuned) -> std::unique_ptr<Child> {
    WriteFile(dir + "/mosquitto.conf", "user root\npersistence false\nallow_anonymous false\npassword_file " + dir +
                                           "/passwd\n" + (tuned ? "set_tcp_nodelay true\n" : "") + "listener " +
                                           std::to_string(mqtt_port) + " 127.0.0.1\n");
    auto broker = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"},
                                          dir + "/mosquitto.log");
    if (!PollUntil([&] { return PortAccepts(mqtt_port); }, std::chrono::seconds(10))) {
      std::fprintf(stderr, "mosquitto did not start (%s/mosquitto.log)\n", dir.c_str());
      return nullptr;
    }
    return broker;
  };
  std::unique_ptr<Child> broker = start_broker(true);
  if (!broker) {
    return 1;
  }
  const std::string address = "tcp://127.0.0.1:" + std::to_string(mqtt_port);

  // The simulated board and the station, as in service but for the addresses.
  const uint16_t report_port = FreePort();
  Child sim({options.sim, "--command-port", "0", "--control-port", "-1", "--report-port", std::to_string(report_port),
             "--report-rate", std::to_string(options.report_rate), "--ready-file", dir + "/sim.ready",
             "--exit-with-parent"},
            dir + "/sim.log");
  int command_port = 0;
  if (!PollUntil(
          [&] {
            const std::string ready = ReadWholeFile(dir + "/sim.ready");
            return std::sscanf(ready.c_str(), "{\"command_port\":%d", &command_port) == 1 && command_port > 0;
          },
          std::chrono::seconds(10))) {
    std::fprintf(stderr, "station_board_sim did not start (%s/sim.log)\n", dir.c_str());
    return 1;
  }
  WriteFile(dir + "/config.json",
            "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" + std::to_string(command_port) +
                ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" + std::to_string(report_port) +
                ",\"mqtt_server_address\":\"" + address + "\",\"mqtt_user_name\":\"" + kUser +
                "\",\"mqtt_pwd\":\"" + kPassword + "\",\"station_id\":\"" + kStation + "\"}");
  // The shipped LED rules, from a build folder inside the source tree or the
  // source tree itself; without them every rule takes the default priority.
  std::string led = ReadWholeFile(Dirname(Dirname(argv[0])) + "/config/led.json");
  if (led.empty()) {
    led = ReadWholeFile("config/led.json");
  }
  WriteFile(dir + "/led.json", led.empty() ? "{}" : led);
  Child station({options.station}, dir + "/station.log",
                {"STATION_CENTER_CONFIG_DIR=" + dir, "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                 "SPDLOG_LEVEL=error"});

  const std::string check = std::string("clean_robot_station/") + kStation + "/checkStation";
  const std::string check_reply = check + "Re";
  const std::string echo_request = "bench/echo/request";
  const std::string echo_reply = "bench/echo/reply";
  const std::string request = R"({"reqHeader":{"msgId":{"uuid":"1"},"robotId":{"uuid":"bench"}},"checkType":0})";

  // The robot and the echo, connected anew for each setting. `tuned`: their
  // sockets send without Nagle's algorithm, as a robot client should.
  std::unique_ptr<Echo> echo;
  std::unique_ptr<Requester> robot;
  auto connect_clients = [&](bool tuned) {
    robot.reset();
    echo.reset();
    echo = std::make_unique<Echo>(address, echo_reply);
    robot = std::make_unique<Requester>(address, "bench_robot");
    // Side by side: the library completes a new connection on its next
    // one-second turn, so two in a row would cost up to two seconds.
    bool echo_connected = false;
    std::thread echo_connect([&] { echo_connected = echo->Connect(echo_request); });
    const bool robot_connected = robot->Connect({check_reply, echo_reply});
    echo_connect.join();
    if (!echo_connected || !robot_connected) {
      std::fprintf(stderr, "clients could not connect\n");
      return false;
    }
    if (tuned && mqtt_client::SetNoDelayTowardsBroker(address) < 2) {
      std::fprintf(stderr, "TCP_NODELAY not set on both client sockets\n");
      return false;
    }
    return true;
  };
  // The station subscribes once its start-up (or reconnect) is through.
  auto wait_answer = [&](std::chrono::milliseconds bound) {
    return PollUntil([&] { return robot->RoundTrip(check, check_reply, request, std::chrono::milliseconds(100)).count() > 0; },
                   bound);
  };

  // Interleaved, so that both see the same machine load.
  int lost = 0;
  auto measure = [&](const char* setting, int requests) {
    // Late answers to the probes must not count as replies to the measured requests.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<double> station_us;
    std::vector<double> echo_us;
    for (int i = 0; i < options.warmup + requests; ++i) {
      const auto s = robot->RoundTrip(check, check_reply, request, std::chrono::seconds(5));
      const auto e = robot->RoundTrip(echo_request, echo_reply, request, std::chrono::seconds(5));
      if (s.count() < 0 || e.count() < 0) {
        ++lost;
        continue;
      }
      if (i >= options.warmup) {
        station_us.push_back(std::chrono::duration<double, std::micro>(s).count());
        echo_us.push_back(std::chrono::duration<double, std::micro>(e).count());
      }
    }
    const Stats st = Summarise(station_us);
    const Stats ec = Summarise(echo_us);
    std::printf("%s: checkStation round trip, %zu requests: median %.1f us, p99 %.1f us, max %.1f us\n", setting,
                station_us.size(), st.median_us, st.p99_us, st.max_us);
    std::printf("%s: bare echo round trip,    %zu requests: median %.1f us, p99 %.1f us, max %.1f us\n", setting,
                echo_us.size(), ec.median_us, ec.p99_us, ec.max_us);
    std::printf("%s: station median / echo median: %.2f; lost so far %d\n", setting,
                ec.median_us > 0 ? st.median_us / ec.median_us : 0.0, lost);
    std::fflush(stdout);
  };

  if (!connect_clients(true) || !wait_answer(std::chrono::seconds(60))) {
    std::fprintf(stderr, "the station did not answer (%s/station.log)\n", dir.c_str());
    return 1;
  }
  measure("tuned", options.requests);

  // Broker restarts: from the moment the broker accepts again to the station's
  // first answer (the robot connects in between, a few milliseconds).
  std::vector<double> back_ms;
  std::vector<double> clients_ms;  // the robot's own part: its connection and subscriptions
  for (int k = 0; k < options.restarts + 1; ++k) {
    // The last restart brings the broker back at its defaults.
    const bool tuned = k < options.restarts;
    robot.reset();
    echo.reset();
    broker.reset();
    broker = start_broker(tuned);
    if (!broker) {
      return 1;
    }
    const auto back = Clock::now();
    const bool clients = connect_clients(tuned);
    clients_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
    if (!clients || !wait_answer(std::chrono::seconds(60))) {
      std::fprintf(stderr, "the station did not answer after a broker restart (%s/station.log)\n", dir.c_str());
      return 1;
    }
    back_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
  }
  std::string each;
  for (double ms : back_ms) {
    each += (each.empty() ? "" : ", ") + std::to_string(static_cast<int>(ms + 0.5));
  }
  std::sort(back_ms.begin(), back_ms.end());
  std::sort(clients_ms.begin(), clients_ms.end());
  std::printf("broker restart to first answer, %zu restarts: median %.0f ms, max %.0f ms (each: %s ms); "
              "the robot's own connect took a median %.0f ms of it\n",
              back_ms.size(), back_ms[back_ms.size() / 2], back_ms.back(), each.c_str(),
              clients_ms[clients_ms.size() / 2]);
  std::fflush(stdout);

  measure("defaults", options.default_requests);

  // Idle: no requests; the board reports and the station sends its status documents.
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  const long long ticks_before = CpuTicks(station.pid());
  const auto idle_start = Clock::now();
  long peak_rss_kb = 0;
  for (int second = 0; second < options.idle_seconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    peak_rss_kb = std::max(peak_rss_kb, StatusKb(station.pid(), "VmRSS"));
  }
  const double idle_seconds = std::chrono::duration<double>(Clock::now() - idle_start).count();
  const long long ticks_after = CpuTicks(station.pid());
  const long hwm_kb = StatusKb(station.pid(), "VmHWM");
  const double cpu_percent =
      idle_seconds > 0 ? 100.0 * static_cast<double>(ticks_after - ticks_before) / ticks_per_second / idle_seconds : 0;
  std::printf("idle %.0f s (board reporting %d/s): CPU %.3f %% of one core (goal < 0.5 %%)\n", idle_seconds,
              options.report_rate, cpu_percent);
  std::printf("resident memory: peak (VmHWM) %.1f MB, highest sampled VmRSS %.1f MB (goal < 16 MB)\n",
              static_cast<double>(hwm_kb) / 1024.0, static_cast<double>(peak_rss_kb) / 1024.0);
  const bool alive = station.WaitExit(std::chrono::milliseconds(0)) < 0;
  if (!alive) {
    std::fprintf(stderr, "the station ended during the run (%s/station.log)\n", dir.c_str());
  }
  ::kill(station.pid(), SIGKILL);
  ::kill(sim.pid(), SIGKILL);
  robot.reset();
  echo.reset();
  broker.reset();
  if (lost == 0 && alive) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return lost == 0 && alive ? 0 : 1;
}
