#include "support/service_rig.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iostream>
#include <regex>

#include <gtest/gtest.h>

#include "support/fake_board.h"

namespace station_test {
namespace {

bool PortAccepts(uint16_t port) {
  const int fd = ConnectLoopback(port);
  return fd >= 0 && ::close(fd) == 0;
}

// `value` once it stayed the same over `quiet`: the late messages it counts have come in.
template <class Value>
auto Settled(Value value, std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) {
  auto last = value();
  PollUntil([&] {
    std::this_thread::sleep_for(quiet);
    const auto now = value();
    return std::exchange(last, now) == now;
  });
  return last;
}

}  // namespace

std::vector<std::string> Matches(const std::string& text, const char* pattern) {
  const std::regex regex(pattern);
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), regex); it != std::sregex_iterator(); ++it) {
    found.push_back(it->size() > 2 ? (*it)[1].str() + " " + (*it)[2].str() : (*it)[1].str());
  }
  return found;
}

int ConnectLoopback(uint16_t port, const char* from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr(from != nullptr ? from : "127.0.0.1");
  const bool bound = from == nullptr || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(port);
  if (bound && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
  ::close(fd);
  return -1;
}

bool MosquittoBroker::EnableTls(bool require_client_certificate) {
  const std::string& dir = dir_.path();
  // EC keys: made in milliseconds, unlike RSA ones.
  auto make = [&](const std::string& name, const std::string& extension) {
    std::vector<std::string> args = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                                     "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem"};
    if (!extension.empty()) {
      args.insert(args.end(), {"-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-addext", extension});
    }
    return Process::Run(args, dir + "/openssl.log");
  };
  tls_port_ = PickFreeLoopbackPort();
  require_client_certificate_ = require_client_certificate;
  return make("ca", "") && make("other_ca", "") && make("localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
         make("client", "extendedKeyUsage=clientAuth") && tls_port_ != 0;
}

bool MosquittoBroker::Start(std::chrono::milliseconds bound) {
  const std::string& dir = dir_.path();
  if (port_ == 0) {
    port_ = PickFreeLoopbackPort();
    // Started as root, mosquitto would drop to its own user and could not read the private folder.
    std::string conf = "user root\npersistence false\nallow_anonymous false\npassword_file " + dir + "/passwd\n" +
                       "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\nlog_type information\n" +
                       "listener " + std::to_string(port_) + " 127.0.0.1\n";
    if (tls_port_ != 0) {
      conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncafile " + dir + "/ca.pem\ncertfile " + dir +
              "/localhost.pem\nkeyfile " + dir + "/localhost.key\nrequire_certificate " +
              (require_client_certificate_ ? "true\n" : "false\n");
    }
    dir_.Write("mosquitto.conf", conf);
    if (port_ == 0 || !Process::Run({"/usr/bin/mosquitto_passwd", "-b", "-c", dir + "/passwd", kUser, kPassword},
                                    dir + "/passwd.log")) {
      return false;
    }
  }
  auto ended = [&] { return process_->WaitExit(std::chrono::milliseconds(0)) >= 0; };
  auto up = [&] { return PortAccepts(port_) && (tls_port_ == 0 || PortAccepts(tls_port_)); };
  // The port of a broker just stopped can take a moment to be free again: start until it holds.
  return PollUntil([&] {
    process_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"},
                                         dir + "/mosquitto.log");
    return PollUntil([&] { return ended() || up(); }, bound) && !ended();
  }, bound, std::chrono::milliseconds(100));
}

// Whole lines "topic payload" only: the last one may still be being written.
std::vector<std::string> TestMqttClient::Payloads(const std::string& topic) const {
  std::vector<std::string> payloads;
  const std::string text = subscriber_->Output(), start = topic + " ";
  for (size_t at = seen_, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    if (text.compare(at, start.size(), start) == 0) payloads.push_back(text.substr(at + start.size(), end - at - start.size()));
  }
  return payloads;
}

bool BoardSim::Start(std::vector<std::string> args, const std::string& program) {
  args.insert(args.begin(), {program, "--command-port", "0", "--control-port", "0", "--exit-with-parent"});
  process_ = std::make_unique<Process>(args, dir_.path() + "/board.log");
  std::vector<std::string> ports;  // it announces them on standard output
  if (!PollUntil([&] { return (ports = Matches(process_->Output(), R"(command port (\d+)\ncontrol port (\d+)\n)")).size() == 1; })) {
    return false;
  }
  int control_port = 0;
  std::sscanf(ports[0].c_str(), "%d %d", &command_port_, &control_port);
  const timeval timeout{5, 0};  // a command not answered within 5 s is answered ""
  control_fd_ = ConnectLoopback(static_cast<uint16_t>(control_port));
  return ::setsockopt(control_fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
}

std::string BoardSim::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (::send(control_fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "";
  char buffer[65536];
  for (ssize_t n; held_.find('\n') == std::string::npos; held_.append(buffer, static_cast<size_t>(n))) {
    if ((n = ::recv(control_fd_, buffer, sizeof(buffer), 0)) <= 0) return "";
  }
  const std::string reply = held_.substr(0, held_.find('\n'));
  held_.erase(0, reply.size() + 1);
  return reply;
}

ServiceRig::~ServiceRig() {
  if (service_ != nullptr && testing::Test::HasFailure()) std::cout << "service output:\n" << service_->Output();
}

bool ServiceRig::Prepare(const RigOptions& options) {
  options_ = options;
  if (!broker_.Start()) return false;
  robot_ = std::make_unique<TestMqttClient>(broker_.port(), "robot");
  const uint16_t report_port = PickFreeLoopbackPort();
  std::vector<std::string> board = {"--report-port", std::to_string(report_port), "--report-rate", "20"};
  board.insert(board.end(), options.board_args.begin(), options.board_args.end());
  if (!robot_->Connect("clean_robot_station/#") || !board_.Start(board)) return false;
  for (const std::string& command : options.board_setup) {
    if (Board(command) != "ok") return false;
  }
  auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
  std::map<std::string, std::string> config = {
      {"embedded_ip", quoted("127.0.0.1")}, {"embedded_action_port", std::to_string(board_.command_port())},
      {"soc_ip", quoted("127.0.0.1")}, {"soc_data_server_port", std::to_string(report_port)},
      {"mqtt_server_address", quoted(broker_.tls() ? broker_.TlsAddress() : broker_.Address())},
      {"mqtt_user_name", quoted(kUser)}, {"mqtt_pwd", quoted(kPassword)}, {"mqtt_keep_alive_interval", "5"},
      {"station_id", quoted(kStation)}, {"upload_station_info_to_cloud_interval", "1"}, {"bottom_action_timeout", "2"},
      {"running_schedule_space", "20"}, {"default_schedule_space", "100"}, {"disinfectant_table_dissolution_time", "1"},
      {"disinfectant_tablet_release_time", "1"}};
  if (broker_.tls()) config["mqtt_ca_file"] = quoted("$TLS/ca.pem");
  for (const auto& [key, value] : options.config) config[key] = value;
  std::string text;
  for (const auto& [key, value] : config) {
    text += (text.empty() ? "{" : ",") + quoted(key) + ":" + std::regex_replace(value, std::regex("\\$TLS"), broker_.folder());
  }
  dir_.Write("config.json", text + "}");
  dir_.Write("led.json", ReadWholeFile(STATION_SOURCE_DIR "/config/led.json"));
  return true;
}

bool ServiceRig::WaitServing(std::chrono::milliseconds bound) {
  const bool serving = PollUntil([&] { return !Ask("checkStation", "{}", std::chrono::milliseconds(300)).empty(); }, bound);
  Settled([&] { return robot_->Count(Topic("checkStationRe")); });
  return serving;
}

long long ServiceRig::Mismatched() {
  const auto replies = Settled([&] {
    std::map<std::string, long long> count;
    for (const auto& entry : sent_) count[entry.first] = static_cast<long long>(robot_->Count(Topic(entry.first + "Re")));
    return count;
  });
  long long mismatched = 0;
  for (const auto& [name, count] : replies) mismatched += std::abs(count - sent_[name]);
  return mismatched;
}

ReportTally ServiceRig::TallyReports() {
  std::vector<long long> seqs;
  ReportTally tally;
  Board("reports pause");
  // Reports are taken in in order: once the last one sent is in, so is every one the service will take.
  PollUntil([&] {
    seqs.clear();
    for (const std::string& seq : Matches(service_->Output(), R"(sensor data : seq: (\d+))")) seqs.push_back(std::stoll(seq));
    tally.sent = BoardNumber("stats", "reports_sent");
    return tally.sent > 0 && !seqs.empty() && *std::max_element(seqs.begin(), seqs.end()) >= tally.sent;
  }, std::chrono::seconds(20));
  tally.decoded = static_cast<long long>(seqs.size());
  long long last = 0;
  for (long long seq : seqs) {
    tally.corrupt += seq <= last || seq > tally.sent;  // repeated, out of order, never sent
    tally.lost += std::max(0LL, seq - last - 1);
    tally.lost_runs += seq > last + 1;
    last = std::max(last, seq);
  }
  tally.lost += tally.sent - std::min(last, tally.sent);
  tally.lost_runs += last < tally.sent;
  Board("reports resume");
  return tally;
}

}  // namespace station_test
