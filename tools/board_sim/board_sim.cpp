// station_board_sim: a stand-in for the station's embedded control board.
// Serves the command port, pushes sensor reports to the station's report
// server, and takes line commands on stdin and on a loopback control port.
// See README.md in this folder for the options and the control commands.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "board_model.h"
#include "bottom/frame_buffer.h"

namespace board_sim {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string command_host = "127.0.0.1";
  int command_port = 60013;
  std::string report_host = "127.0.0.1";
  int report_port = 60014;
  int control_port = 60015;
  double report_rate = 5;
  bool manual_clock = false;
  std::string state_file;
  std::string ready_file;
  bool verbose = false;
  bool exit_with_parent = false;
  ModelParams model;
};

const char* kHelp =
    "Usage: station_board_sim [options]\n"
    "A simulated embedded control board for the station center.\n"
    "\n"
    "  --command-host IP      address of the command port (default 127.0.0.1)\n"
    "  --command-port N       command port the station connects to (default 60013; 0 = any free port)\n"
    "  --report-host IP       address of the station's report server (default 127.0.0.1)\n"
    "  --report-port N        port of the station's report server (default 60014)\n"
    "  --control-port N       loopback port for control commands (default 60015; 0 = any free port;\n"
    "                         -1 = none)\n"
    "  --report-rate R        sensor reports per second (default 5; 0 = none)\n"
    "  --capacity C           clean tank capacity in flow-meter counts (default 1000)\n"
    "  --level L              initial tank level in counts (default 0)\n"
    "  --fill-rate R          counts per second while the tap-water switch is on (default 100)\n"
    "  --drain-rate R         counts per second while the drainage switch is on (default 200)\n"
    "  --supply-rate R        counts per second while the supply-water switch is on (default 50)\n"
    "  --heat-rate R          heating wire degrees per second while on (default 2)\n"
    "  --cool-rate R          degrees per second towards ambient while off (default 1)\n"
    "  --ambient T            ambient temperature (default 25)\n"
    "  --manual-clock         the model moves only with the control command 'advance MS'\n"
    "  --state FILE           JSON object with the initial state (see README.md)\n"
    "  --ready-file FILE      once listening, write {\"command_port\":N,\"control_port\":M} there\n"
    "  --verbose              log every command received on standard error\n"
    "  --exit-with-parent     end when the process that started it ends (for tests)\n"
    "  --help                 this text\n"
    "\n"
    "At start it prints \"command port N\" and \"control port M\" on standard output.\n"
    "Type 'help' on standard input or the control port for the control commands.\n";

const char* kControlHelp =
    "commands: set FIELD VALUE | unset FIELD | dock | undock | level COUNTS | advance MS | "
    "fail next N error [CODE] | fail next N wrong-seq | fail next N silent | "
    "fail type TYPE error [CODE]|wrong-seq|silent | fail clear | reports pause|resume | rate R | "
    "close command|report | inject garbage|split|burst N | state | log | report | stats | help";

// How the board answers one command.
struct Failure {
  enum Kind { kNone, kError, kWrongSeq, kSilent } kind = kNone;
  int code = station::ENUM_ERROR_UNKNOW;
};

std::string AnswerName(const Failure& f) {
  switch (f.kind) {
    case Failure::kError:
      return "error:" + std::to_string(f.code);
    case Failure::kWrongSeq:
      return "wrong-seq";
    case Failure::kSilent:
      return "silent";
    default:
      return "success";
  }
}

// A report-connection action asked for on the control channel; run by the
// report thread so that writes on that socket never interleave.
enum class Inject { kGarbage, kSplit, kBurst, kClose };

int ListenOn(const std::string& host, int port, int* bound_port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof(addr);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *bound_port = ntohs(addr.sin_port);
  return fd;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Frame(const google::protobuf::MessageLite& m) {
  std::string frame;
  station_center::EncodeFrame(m, frame);
  return frame;
}

std::string ReportJson(const station::SensorsDataRep& r) {
  using google::protobuf::FieldDescriptor;
  const auto* d = r.GetDescriptor();
  const auto* refl = r.GetReflection();
  std::ostringstream out;
  out << "{";
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    out << (i ? "," : "") << "\"" << f->name() << "\":";
    switch (f->cpp_type()) {
      case FieldDescriptor::CPPTYPE_UINT32:
        out << refl->GetUInt32(r, f);
        break;
      case FieldDescriptor::CPPTYPE_INT32:
        out << refl->GetInt32(r, f);
        break;
      case FieldDescriptor::CPPTYPE_FLOAT:
        out << refl->GetFloat(r, f);
        break;
      case FieldDescriptor::CPPTYPE_BOOL:
        out << (refl->GetBool(r, f) ? "true" : "false");
        break;
      default:
        out << "null";
    }
  }
  out << "}";
  return out.str();
}

class Simulator {
 public:
  explicit Simulator(const Options& options) : options_(options), model_(options.model) {}

  bool Start() {
    command_listen_ = ListenOn(options_.command_host, options_.command_port, &command_port_);
    if (command_listen_ < 0) {
      std::fprintf(stderr, "cannot listen on %s:%d: %s\n", options_.command_host.c_str(), options_.command_port,
                   std::strerror(errno));
      return false;
    }
    if (options_.control_port >= 0) {
      control_listen_ = ListenOn("127.0.0.1", options_.control_port, &control_port_);
      if (control_listen_ < 0) {
        std::fprintf(stderr, "cannot listen on control port %d: %s\n", options_.control_port, std::strerror(errno));
        return false;
      }
    }
    report_rate_ = options_.report_rate;
    std::thread([this] { CommandLoop(); }).detach();
    std::thread([this] { ReportLoop(); }).detach();
    if (!options_.manual_clock) {
      std::thread([this] { TickLoop(); }).detach();
    }
    if (control_listen_ >= 0) {
      std::thread([this] { ControlAcceptLoop(); }).detach();
    }
    std::printf("command port %d\n", command_port_);
    std::printf("control port %d\n", control_port_);
    std::fflush(stdout);
    if (!options_.ready_file.empty()) {
      const std::string tmp = options_.ready_file + ".tmp";
      {
        std::ofstream out(tmp);
        out << "{\"command_port\":" << command_port_ << ",\"control_port\":" << control_port_ << "}\n";
      }
      std::rename(tmp.c_str(), options_.ready_file.c_str());
    }
    return true;
  }

  // Reads control lines from standard input until it ends, then waits for ever.
  void RunStdin() {
    std::string line;
    while (std::getline(std::cin, line)) {
      const std::string reply = Execute(line);
      if (!reply.empty()) {
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
      }
    }
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }

  bool LoadState(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
      *error = "cannot open " + path;
      return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    rapidjson::Document doc;
    doc.Parse(text.str().c_str());
    if (doc.HasParseError() || !doc.IsObject()) {
      *error = path + " is not a JSON object";
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
      const std::string key = it->name.GetString();
      const auto& v = it->value;
      std::string value;
      if (v.IsBool()) {
        value = v.GetBool() ? "true" : "false";
      } else if (v.IsNumber()) {
        std::ostringstream n;
        n.precision(10);
        n << v.GetDouble();
        value = n.str();
      } else {
        *error = key + ": value must be a number or a boolean";
        return false;
      }
      if (key == "level") {
        model_.SetLevel(v.IsNumber() ? v.GetDouble() : 0);
      } else if (key == "docked") {
        model_.Dock(v.IsBool() && v.GetBool());
      } else if (!model_.Set(key, value, error)) {
        return false;
      }
    }
    return true;
  }

  // One control command; the reply is one line: "ok", "error: ..." or a JSON object.
  std::string Execute(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) {
      w.push_back(word);
    }
    if (w.empty()) {
      return "";
    }
    std::string error;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string& cmd = w[0];
    if (cmd == "help") {
      return kControlHelp;
    }
    if (cmd == "set" && w.size() == 3) {
      return model_.Set(w[1], w[2], &error) ? "ok" : "error: " + error;
    }
    if (cmd == "unset" && w.size() == 2) {
      return model_.Unset(w[1], &error) ? "ok" : "error: " + error;
    }
    if ((cmd == "dock" || cmd == "undock") && w.size() == 1) {
      model_.Dock(cmd == "dock");
      return "ok";
    }
    if (cmd == "level" && w.size() == 2) {
      model_.SetLevel(std::atof(w[1].c_str()));
      return "ok";
    }
    if (cmd == "advance" && w.size() == 2) {
      const double ms = std::atof(w[1].c_str());
      if (ms < 0) {
        return "error: advance takes milliseconds >= 0";
      }
      model_.Advance(ms / 1000.0);
      return "ok";
    }
    if (cmd == "fail") {
      return Fail(w);
    }
    if (cmd == "reports" && w.size() == 2 && (w[1] == "pause" || w[1] == "resume")) {
      reports_paused_ = w[1] == "pause";
      return "ok";
    }
    if (cmd == "rate" && w.size() == 2) {
      const double rate = std::atof(w[1].c_str());
      if (rate < 0 || rate > 10000) {
        return "error: rate takes 0 to 10000 reports a second";
      }
      report_rate_ = rate;
      return "ok";
    }
    if (cmd == "close" && w.size() == 2 && w[1] == "command") {
      ++close_command_;
      return "ok";
    }
    if (cmd == "close" && w.size() == 2 && w[1] == "report") {
      injects_.push_back({Inject::kClose, 0});
      return "ok";
    }
    if (cmd == "inject" && w.size() >= 2) {
      if (w[1] == "garbage" && w.size() == 2) {
        injects_.push_back({Inject::kGarbage, 0});
      } else if (w[1] == "split" && w.size() == 2) {
        injects_.push_back({Inject::kSplit, 0});
      } else if (w[1] == "burst" && w.size() == 3 && std::atoi(w[2].c_str()) > 0) {
        injects_.push_back({Inject::kBurst, std::atoi(w[2].c_str())});
      } else {
        return "error: inject garbage|split|burst N";
      }
      return "ok";
    }
    if (cmd == "state" && w.size() == 1) {
      return model_.StateJson();
    }
    if (cmd == "log" && w.size() == 1) {
      std::string out = "{\"commands\":[";
      for (size_t i = 0; i < log_.size(); ++i) {
        out += (i ? "," : "") + log_[i];
      }
      return out + "]}";
    }
    if (cmd == "report" && w.size() == 1) {
      return ReportJson(model_.Report(report_seq_));
    }
    if (cmd == "stats" && w.size() == 1) {
      std::ostringstream out;
      out << "{\"reports_sent\":" << reports_sent_ << ",\"commands\":" << log_.size()
          << ",\"command_connected\":" << (command_connected_ ? "true" : "false")
          << ",\"report_connected\":" << (report_connected_ ? "true" : "false") << "}";
      return out.str();
    }
    return "error: unknown command '" + line + "' (try help)";
  }

 private:
  struct InjectRequest {
    Inject what;
    int count;
  };

  std::string Fail(const std::vector<std::string>& w) {
    if (w.size() == 2 && w[1] == "clear") {
      next_failures_.clear();
      type_failures_.clear();
      return "ok";
    }
    if (w.size() < 4) {
      return "error: fail next N KIND | fail type TYPE KIND | fail clear";
    }
    const size_t kind_at = 3;
    Failure f;
    if (w[kind_at] == "error") {
      f.kind = Failure::kError;
      if (w.size() == kind_at + 2) {
        f.code = std::atoi(w[kind_at + 1].c_str());
        if (f.code <= 0 || !station::EnumErrCode_IsValid(f.code)) {
          return "error: error code must be 1 to 4";
        }
      } else if (w.size() != kind_at + 1) {
        return "error: fail ... error [CODE]";
      }
    } else if (w[kind_at] == "wrong-seq" && w.size() == kind_at + 1) {
      f.kind = Failure::kWrongSeq;
    } else if (w[kind_at] == "silent" && w.size() == kind_at + 1) {
      f.kind = Failure::kSilent;
    } else {
      return "error: the kind is error [CODE], wrong-seq or silent";
    }
    if (w[1] == "next") {
      const int n = std::atoi(w[2].c_str());
      if (n <= 0) {
        return "error: fail next N takes N >= 1";
      }
      next_failures_.insert(next_failures_.end(), static_cast<size_t>(n), f);
      return "ok";
    }
    if (w[1] == "type") {
      int type = 0;
      if (w[2] == "led") {
        type = -1;
      } else if (!ParseSupplyType(w[2], &type)) {
        return "error: unknown supply type " + w[2];
      }
      type_failures_[type] = f;
      return "ok";
    }
    return "error: fail next|type|clear";
  }

  // Decides the answer, logs the command and applies it when carried out.
  // Caller holds mutex_.
  Failure Decide(const station::SupplyMaterialReq& req) {
    Failure f;
    if (!next_failures_.empty()) {
      f = next_failures_.front();
      next_failures_.pop_front();
    } else {
      const int type = req.has_cmd_() ? static_cast<int>(req.cmd_().supply_type_()) : -1;
      auto it = type_failures_.find(type);
      if (it != type_failures_.end()) {
        f = it->second;
      }
    }
    // A board that answers an error or nothing did not carry the command out.
    if (f.kind == Failure::kNone || f.kind == Failure::kWrongSeq) {
      model_.Apply(req);
    }
    std::ostringstream entry;
    entry << "{\"seq\":" << req.seq_();
    if (req.has_cmd_()) {
      entry << ",\"type\":\"" << SupplyTypeName(req.cmd_().supply_type_()) << "\",\"action\":" << req.cmd_().action_();
    }
    if (req.has_change_led_()) {
      entry << ",\"led\":" << req.change_led_().led_cmd_();
    }
    entry << ",\"answer\":\"" << AnswerName(f) << "\"}";
    log_.push_back(entry.str());
    if (options_.verbose) {
      std::fprintf(stderr, "command %s\n", entry.str().c_str());
    }
    return f;
  }

  void CommandLoop() {
    for (;;) {
      pollfd lp{command_listen_, POLLIN, 0};
      if (::poll(&lp, 1, 200) <= 0) {
        continue;
      }
      const int conn = ::accept(command_listen_, nullptr, nullptr);
      if (conn < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      int closes_seen = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        command_connected_ = true;
        closes_seen = close_command_;
      }
      ServeCommands(conn, closes_seen);
      ::close(conn);
      std::lock_guard<std::mutex> lock(mutex_);
      command_connected_ = false;
    }
  }

  void ServeCommands(int conn, int closes_seen) {
    station_center::FrameBuffer frames(4096);
    char buf[4096];
    std::string body;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (close_command_ != closes_seen) {
          return;
        }
      }
      pollfd p{conn, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) {
        continue;
      }
      const ssize_t n = ::recv(conn, buf, frames.Room(), 0);
      if (n <= 0) {
        return;
      }
      frames.Append(buf, static_cast<size_t>(n));
      for (;;) {
        const auto next = frames.Pop(body);
        if (next == station_center::FrameBuffer::Next::kNone) {
          break;
        }
        station::SupplyMaterialReq req;
        if (next == station_center::FrameBuffer::Next::kOversized ||
            !req.ParseFromArray(body.data(), static_cast<int>(body.size()))) {
          frames.Clear();
          station::SupplyMaterialRsp rsp;
          rsp.set_err_code_(station::ENUM_DESERIALIZE_DATA_FAILED);
          rsp.set_err_msg_("request does not decode");
          WriteAll(conn, Frame(rsp));
          break;
        }
        Failure f;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          f = Decide(req);
        }
        station::SupplyMaterialRsp rsp;
        rsp.set_seq_(f.kind == Failure::kWrongSeq ? req.seq_() + 1000 : req.seq_());
        rsp.set_err_code_(f.kind == Failure::kError ? static_cast<station::EnumErrCode>(f.code) : station::ENUM_SUCCESS);
        rsp.set_err_msg_(f.kind == Failure::kError ? "simulated failure" : "ok");
        if (f.kind != Failure::kSilent && !WriteAll(conn, Frame(rsp))) {
          return;
        }
      }
    }
  }

  void TickLoop() {
    auto last = Clock::now();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const auto now = Clock::now();
      const double seconds = std::chrono::duration<double>(now - last).count();
      last = now;
      std::lock_guard<std::mutex> lock(mutex_);
      model_.Advance(seconds);
    }
  }

  int ConnectReports() {
    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
      return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(options_.report_port));
    if (::inet_pton(AF_INET, options_.report_host.c_str(), &addr.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd);
      return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
  }

  // Next report, counted as sent by the caller. Caller holds mutex_.
  std::string NextReportFrame() { return Frame(model_.Report(++report_seq_)); }

  void ReportLoop() {
    int fd = -1;
    auto next_report = Clock::now();
    auto next_connect = Clock::now();
    for (;;) {
      if (fd < 0) {
        if (Clock::now() < next_connect) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          continue;
        }
        fd = ConnectReports();
        next_connect = Clock::now() + std::chrono::seconds(1);  // retry every second
        std::lock_guard<std::mutex> lock(mutex_);
        report_connected_ = fd >= 0;
        if (fd < 0) {
          continue;
        }
        next_report = Clock::now();
      }
      std::deque<InjectRequest> injects;
      double rate = 0;
      bool paused = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        injects.swap(injects_);
        rate = report_rate_;
        paused = reports_paused_;
      }
      bool ok = true;
      for (const InjectRequest& inject : injects) {
        ok = ok && RunInject(&fd, inject);
      }
      if (ok && fd >= 0 && rate > 0 && !paused && Clock::now() >= next_report) {
        std::string frame;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          frame = NextReportFrame();
        }
        ok = WriteAll(fd, frame);
        if (ok) {
          std::lock_guard<std::mutex> lock(mutex_);
          ++reports_sent_;
        }
        next_report += std::chrono::microseconds(static_cast<int64_t>(1e6 / rate));
        if (next_report < Clock::now() - std::chrono::seconds(1)) {
          next_report = Clock::now();  // do not flood after a stall
        }
      }
      if (!ok && fd >= 0) {
        ::close(fd);
        fd = -1;
      }
      if (fd < 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        report_connected_ = false;
        continue;
      }
      // Sleep until the next report is due, but notice control requests soon.
      const auto wake = std::min(next_report, Clock::now() + std::chrono::milliseconds(10));
      std::this_thread::sleep_until(rate > 0 && !paused ? wake : Clock::now() + std::chrono::milliseconds(10));
    }
  }

  // False when the connection is gone (closed on request or by a failed write).
  bool RunInject(int* fd, const InjectRequest& inject) {
    if (*fd < 0) {
      return false;
    }
    switch (inject.what) {
      case Inject::kClose:
        ::close(*fd);
        *fd = -1;
        return true;
      case Inject::kGarbage:
        return WriteAll(*fd, std::string("\x06\x00\xff\xff\xff\xff\xff\xff", 8));
      case Inject::kSplit: {
        std::string frame;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          frame = NextReportFrame();
        }
        const size_t half = frame.size() / 2;
        // Long enough apart for the station to take the halves in separate reads.
        bool ok = WriteAll(*fd, frame.substr(0, half));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ok = ok && WriteAll(*fd, frame.substr(half));
        if (ok) {
          std::lock_guard<std::mutex> lock(mutex_);
          ++reports_sent_;
        }
        return ok;
      }
      case Inject::kBurst: {
        std::string frames;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          for (int i = 0; i < inject.count; ++i) {
            frames += NextReportFrame();
          }
        }
        const bool ok = WriteAll(*fd, frames);
        if (ok) {
          std::lock_guard<std::mutex> lock(mutex_);
          reports_sent_ += inject.count;
        }
        return ok;
      }
    }
    return true;
  }

  void ControlAcceptLoop() {
    for (;;) {
      const int conn = ::accept(control_listen_, nullptr, nullptr);
      if (conn < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      std::thread([this, conn] { ServeControl(conn); }).detach();
    }
  }

  void ServeControl(int conn) {
    std::string held;
    char buf[1024];
    for (;;) {
      const ssize_t n = ::recv(conn, buf, sizeof(buf), 0);
      if (n <= 0) {
        break;
      }
      held.append(buf, static_cast<size_t>(n));
      if (held.size() > 65536) {
        WriteAll(conn, "error: line too long\n");
        break;
      }
      for (size_t eol = held.find('\n'); eol != std::string::npos; eol = held.find('\n')) {
        std::string line = held.substr(0, eol);
        held.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') {
          line.pop_back();
        }
        const std::string reply = Execute(line);
        if (!reply.empty() && !WriteAll(conn, reply + "\n")) {
          ::close(conn);
          return;
        }
      }
    }
    ::close(conn);
  }

  Options options_;
  std::mutex mutex_;  // guards everything below
  BoardModel model_;
  std::deque<Failure> next_failures_;
  std::map<int, Failure> type_failures_;  // supply type, -1 for LED commands
  std::vector<std::string> log_;
  std::deque<InjectRequest> injects_;
  double report_rate_ = 5;
  bool reports_paused_ = false;
  int close_command_ = 0;
  bool command_connected_ = false;
  bool report_connected_ = false;
  uint32_t report_seq_ = 0;
  uint64_t reports_sent_ = 0;

  int command_listen_ = -1;
  int control_listen_ = -1;
  int command_port_ = 0;
  int control_port_ = -1;
};

bool ParseOptions(int argc, char** argv, Options* o, bool* help) {
  std::map<std::string, std::function<bool(const char*)>> with_value = {
      {"--command-host", [o](const char* v) { o->command_host = v; return true; }},
      {"--report-host", [o](const char* v) { o->report_host = v; return true; }},
      {"--state", [o](const char* v) { o->state_file = v; return true; }},
      {"--ready-file", [o](const char* v) { o->ready_file = v; return true; }},
  };
  auto port = [](int* out, int low) {
    return [out, low](const char* v) {
      char* end = nullptr;
      const long n = std::strtol(v, &end, 10);
      *out = static_cast<int>(n);
      return *end == '\0' && n >= low && n <= 65535;
    };
  };
  auto number = [](double* out) {
    return [out](const char* v) {
      char* end = nullptr;
      *out = std::strtod(v, &end);
      return *end == '\0' && *out >= 0;
    };
  };
  with_value["--command-port"] = port(&o->command_port, 0);
  with_value["--report-port"] = port(&o->report_port, 1);
  with_value["--control-port"] = port(&o->control_port, -1);
  with_value["--report-rate"] = number(&o->report_rate);
  with_value["--capacity"] = number(&o->model.capacity);
  with_value["--level"] = number(&o->model.level);
  with_value["--fill-rate"] = number(&o->model.fill_rate);
  with_value["--drain-rate"] = number(&o->model.drain_rate);
  with_value["--supply-rate"] = number(&o->model.supply_rate);
  with_value["--heat-rate"] = number(&o->model.heat_rate);
  with_value["--cool-rate"] = number(&o->model.cool_rate);
  with_value["--ambient"] = number(&o->model.ambient);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    }
    if (arg == "--manual-clock") {
      o->manual_clock = true;
      continue;
    }
    if (arg == "--exit-with-parent") {
      o->exit_with_parent = true;
      continue;
    }
    if (arg == "--verbose") {
      o->verbose = true;
      continue;
    }
    auto it = with_value.find(arg);
    if (it == with_value.end() || i + 1 >= argc) {
      std::fprintf(stderr, "unknown option or missing value: %s\n", arg.c_str());
      return false;
    }
    if (!it->second(argv[++i])) {
      std::fprintf(stderr, "bad value for %s: %s\n", arg.c_str(), argv[i]);
      return false;
    }
  }
  if (o->model.capacity <= 0) {
    std::fprintf(stderr, "--capacity must be above 0\n");
    return false;
  }
  return true;
}

}  // namespace
}  // namespace board_sim

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  board_sim::Options options;
  bool help = false;
  if (!board_sim::ParseOptions(argc, argv, &options, &help)) {
    std::fputs(board_sim::kHelp, stderr);
    return 2;
  }
  if (help) {
    std::fputs(board_sim::kHelp, stdout);
    return 0;
  }
  if (options.exit_with_parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1) {
      return 1;  // the parent is already gone
    }
  }
  // Leaked on purpose: detached threads use it until the process ends.
  auto* sim = new board_sim::Simulator(options);
  if (!options.state_file.empty()) {
    std::string error;
    if (!sim->LoadState(options.state_file, &error)) {
      std::fprintf(stderr, "--state: %s\n", error.c_str());
      return 2;
    }
  }
  if (!sim->Start()) {
    return 1;
  }
  sim->RunStdin();
  return 0;
}
