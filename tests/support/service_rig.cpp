#include "support/service_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <thread>

#include "support/fake_board.h"

namespace station_test {
namespace {

// Each match of `pattern` in `text`, as its groups joined by a space.
std::vector<std::string> Matches(const std::string& text, const char* pattern) {
  const std::regex regex(pattern);
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), regex); it != std::sregex_iterator(); ++it) {
    found.push_back(it->size() > 2 ? (*it)[1].str() + " " + (*it)[2].str() : (*it)[1].str());
  }
  return found;
}

}  // namespace

BoardSim::~BoardSim() { ::close(control_fd_); }

bool BoardSim::Start(std::vector<std::string> args, const std::string& program) {
  args.insert(args.begin(), {program, "--command-port", "0", "--control-port", "0",
                             "--exit-with-parent"});
  process_ = std::make_unique<Process>(ProgramArgs(args), dir_.path() + "/board.log");
  std::vector<std::string> ports;  // it announces them on standard output
  if (!PollUntil([&] { return (ports = Matches(process_->Output(), R"(command port (\d+)\ncontrol port (\d+)\n)")).size() == 1; })) {
    return false;
  }
  std::sscanf(ports[0].c_str(), "%d %d", &command_port_, &control_port_);
  control_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(control_port_));
  return ::connect(control_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

std::string BoardSim::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (::send(control_fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
    return "";
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char buffer[65536];
  for (ssize_t n = 0; held_.find('\n') == std::string::npos; held_.append(buffer, static_cast<size_t>(n))) {
    pollfd p{control_fd_, POLLIN, 0};
    n = 0;
    if (std::chrono::steady_clock::now() > deadline ||
        (::poll(&p, 1, 100) == 1 && (n = ::read(control_fd_, buffer, sizeof(buffer))) <= 0)) {
      return "";
    }
  }
  const std::string reply = held_.substr(0, held_.find('\n'));
  held_.erase(0, reply.size() + 1);
  return reply;
}

bool ServiceRig::Start(const RigOptions& options) {
  options_ = options;
  if ((options.tls && !broker_.EnableTls(options.tls_client_certificate)) || !broker_.Start()) {
    return false;
  }
  if (!options.broker_up) {
    broker_.Stop();  // the port stays reserved for a later Start
  } else if (!ConnectRobot()) {
    return false;
  }
  report_port_ = PickFreeLoopbackPort();
  std::vector<std::string> board = {"--report-port", std::to_string(report_port_), "--report-rate", "20"};
  board.insert(board.end(), options.board_args.begin(), options.board_args.end());
  if (!board_.Start(board)) {
    return false;
  }
  std::map<std::string, std::string> config = {
      {"embedded_ip", "\"127.0.0.1\""}, {"embedded_action_port", std::to_string(board_.command_port())},
      {"soc_ip", "\"127.0.0.1\""}, {"soc_data_server_port", std::to_string(report_port_)},
      {"mqtt_server_address", "\"" + broker_.Address() + "\""}, {"mqtt_user_name", "\"quorvane\""},
      {"mqtt_pwd", "\"73019468\""}, {"mqtt_keep_alive_interval", "5"}, {"station_id", std::string("\"") + kStation + "\""},
      {"upload_station_info_to_cloud_interval", "1"}, {"bottom_action_timeout", "2"}, {"running_schedule_space", "20"},
      {"default_schedule_space", "100"}, {"disinfectant_table_dissolution_time", "1"},
      {"disinfectant_tablet_release_time", "1"}};
  if (options.tls) {
    config["mqtt_server_address"] = "\"" + broker_.TlsAddress("ssl", "localhost") + "\"";
    config["mqtt_ca_file"] = "\"" + broker_.tls().ca + "\"";
  }
  for (const auto& [key, value] : options.config) {
    config[key] = value;
  }
  std::string text;
  for (const auto& [key, value] : config) {
    text += (text.empty() ? "{\"" : ",\"") + key + "\":" + value;
  }
  dir_.Write("config.json", text + "}");
  if (options.led_json) {
    dir_.Write("led.json", ReadWholeFile(STATION_SOURCE_DIR "/config/led.json"));
  }
  return !options.start_service || StartService();
}

bool ServiceRig::StartService() {
  std::vector<std::string> env = {"STATION_CENTER_CONFIG_DIR=" + dir_.path(), "SPDLOG_STDOUT=true",
                                  "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"};
  env.insert(env.end(), options_.env.begin(), options_.env.end());
  service_ = std::make_unique<Process>(ProgramArgs({STATION_BINARY_DIR "/quorvane_station_center"}),
                                       dir_.path() + "/service.log", env);
  return service_->started();
}

bool ServiceRig::ConnectRobot() {
  robot_ = std::make_unique<TestMqttClient>(broker_.Address(), "robot", "quorvane", "73019468");
  return robot_->Connect() && robot_->Subscribe("clean_robot_station/#");
}

bool ServiceRig::WaitServing(std::chrono::milliseconds bound) {
  const bool serving = PollUntil([&] { return !Ask("checkStation", "{}", std::chrono::milliseconds(300)).empty(); }, bound);
  PollUntil([&] {
    const size_t before = robot_->Count(Topic("checkStationRe"));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return robot_->Count(Topic("checkStationRe")) == before;
  });
  return serving;
}

bool ServiceRig::WaitNormal(std::chrono::milliseconds bound) {
  return WaitServing(bound) && PollUntil([&] {
           return Supply(kUvLamp, kStop).find("\"errCode\":0") != std::string::npos ||
                  (std::this_thread::sleep_for(std::chrono::milliseconds(100)), false);
         }, bound);
}

void ServiceRig::OpenLedger() {
  sent_.clear();
  robot_->Clear();
}

std::string ServiceRig::Ask(const std::string& name, const std::string& payload, std::chrono::milliseconds bound) {
  ++sent_[name];
  return robot_->Request(Topic(name), Topic(name + "Re"), payload, bound);
}

std::string ServiceRig::Supply(int supply_type, int action, int duration) {
  return Ask("supplyMaterialRequest", "{\"cmd\":{\"action\":" + std::to_string(action) + ",\"supplyType\":" +
                                          std::to_string(supply_type) + ",\"duration\":" + std::to_string(duration) + "}}");
}

bool ServiceRig::CheckReady(int check_type) {
  return Ask("checkStation", "{\"checkType\":" + std::to_string(check_type) + "}").find("\"robotCheck\":1") !=
         std::string::npos;
}

bool ServiceRig::PollCheckReady(int check_type, std::chrono::milliseconds bound) {
  return PollUntil(
      [&] { return CheckReady(check_type) || (std::this_thread::sleep_for(std::chrono::milliseconds(200)), false); },
      bound);
}

long long ServiceRig::Mismatched() {
  auto replies = [&] {
    std::map<std::string, long long> count;
    for (const auto& entry : sent_) {
      count[entry.first] = static_cast<long long>(robot_->Count(Topic(entry.first + "Re")));
    }
    return count;
  };
  PollUntil([&] {
    const auto before = replies();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return replies() == before;
  });
  long long mismatched = 0;
  for (const auto& [name, count] : replies()) {
    mismatched += std::abs(count - sent_[name]);
  }
  return mismatched;
}

long long ServiceRig::BoardNumber(const std::string& command, const std::string& key) {
  const std::string reply = Board(command);
  const size_t at = reply.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atoll(reply.c_str() + at + key.size() + 3);
}

std::vector<std::string> ServiceRig::BoardCommands() {
  return Matches(Board("log"), R"re("type":"ENUM_SUPPLY_([A-Z0-9_]+)","action":(-?\d+))re");
}

std::vector<std::string> ServiceRig::ActuatorsOn() {
  std::vector<std::string> on = Matches(Board("state"), R"re("ENUM_SUPPLY_([A-Z0-9_]+)":(-?\d+))re");
  on.erase(std::remove_if(on.begin(), on.end(), [](const std::string& a) { return a.substr(a.size() - 2) == " 0"; }),
           on.end());
  return on;
}

ReportTally ServiceRig::TallyReports() {
  auto decoded = [&] {
    std::vector<long long> seqs;
    for (const std::string& seq : Matches(service_->Output(), R"(sensor data : seq: (\d+))")) {
      seqs.push_back(std::stoll(seq));
    }
    return seqs;
  };
  Board("reports pause");
  ReportTally tally;
  // Reports are taken in in order: once the last one sent is in, so is every one the service will take.
  PollUntil([&] {
    const std::vector<long long> seqs = decoded();
    tally.sent = BoardNumber("stats", "reports_sent");
    return tally.sent > 0 && !seqs.empty() && *std::max_element(seqs.begin(), seqs.end()) >= tally.sent;
  }, std::chrono::seconds(20));
  const std::vector<long long> seqs = decoded();
  tally.decoded = static_cast<long long>(seqs.size());
  std::set<long long> seen;
  for (long long seq : seqs) {
    tally.corrupt += seen.count(seq) != 0 || (!seen.empty() && seq < *seen.rbegin()) || seq > tally.sent ? 1 : 0;
    seen.insert(seq);
  }
  for (long long seq = 1; seq <= tally.sent; ++seq) {
    tally.lost += seen.count(seq) == 0 ? 1 : 0;
    tally.lost_runs += seen.count(seq) == 0 && (seq == 1 || seen.count(seq - 1) != 0) ? 1 : 0;
  }
  Board("reports resume");
  return tally;
}

std::string ReportTally::Text() const {
  return "reports sent " + std::to_string(sent) + " decoded " + std::to_string(decoded) + " lost " +
         std::to_string(lost) + " in " + std::to_string(lost_runs) + " runs, corrupt " + std::to_string(corrupt);
}

// The service ends through _Exit, so a sanitizer report never reaches its exit status: its output tells.
std::vector<std::string> ServiceRig::SanitizerReports() const {
  return Matches(service_->Output(), R"(((WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:).*))");
}

std::map<std::string, std::string> CountingConfig() { return {{"debug", "true"}, {"sensor_data_print_space", "1"}}; }

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += item + "; ";
  }
  return text;
}

long long Occurrences(const std::string& text, const std::string& part) {
  long long count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

NotifySocket::~NotifySocket() { ::close(fd_); }

bool NotifySocket::WaitFor(const std::string& text, std::chrono::milliseconds bound) {
  return PollUntil([&] {
    char buffer[512];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
      received_.append(buffer, static_cast<size_t>(n)).append("\n");
    }
    return received_.find(text) != std::string::npos;
  }, bound);
}

}  // namespace station_test
