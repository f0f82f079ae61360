#include "fake_board.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace station_test {
namespace {

constexpr int kPollMs = 20;

int ListenLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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

station::SupplyMaterialRsp Reply(int32_t seq, station::EnumErrCode code) {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  rsp.set_err_code_(code);
  rsp.set_err_msg_(code == station::ENUM_SUCCESS ? "ok" : "fake failure");
  return rsp;
}

}  // namespace

uint16_t PickFreeLoopbackPort() {
  uint16_t port = 0;
  int fd = ListenLoopback(&port);
  if (fd < 0) {
    return 0;
  }
  ::close(fd);
  return port;
}

UnansweredPort::UnansweredPort() {
  uint16_t port = 0;
  listen_fd_ = ListenLoopback(&port);
  // A queue of length 0 holds one connection; the filler takes that place.
  if (listen_fd_ < 0 || ::listen(listen_fd_, 0) != 0) {
    return;
  }
  filler_fd_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (filler_fd_ >= 0 && ::connect(filler_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    port_ = port;
  }
}

UnansweredPort::~UnansweredPort() {
  if (filler_fd_ >= 0) {
    ::close(filler_fd_);
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
  }
}

std::string Frame(const google::protobuf::MessageLite& message) {
  std::string body;
  message.SerializeToString(&body);
  std::string out;
  out.push_back(static_cast<char>(body.size() & 0xFF));
  out.push_back(static_cast<char>((body.size() >> 8) & 0xFF));
  out += body;
  return out;
}

station::ActionCommand Action(station::EnumSupplyType type, int32_t action) {
  station::ActionCommand cmd;
  cmd.set_supply_type_(type);
  cmd.set_action_(action);
  return cmd;
}

FakeBoard::FakeBoard() {
  listen_fd_ = ListenLoopback(&port_);
  if (listen_fd_ >= 0) {
    thread_ = std::thread([this] { ServeLoop(); });
  }
}

FakeBoard::~FakeBoard() {
  stop_.store(true);
  if (thread_.joinable()) {
    thread_.join();
  }
  CloseReports();
}

void FakeBoard::ScriptNext(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.push_back(script);
}

std::vector<station::SupplyMaterialReq> FakeBoard::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeBoard::WaitForRequests(size_t count, std::chrono::milliseconds bound) const {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (requests_.size() >= count) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size() >= count;
}

void FakeBoard::CloseCommandConnection() {
  close_requested_.fetch_add(1);
  // The serve thread acts on the request within one poll period.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * kPollMs));
}

void FakeBoard::StopListening() {
  stop_.store(true);
  if (thread_.joinable()) {
    thread_.join();
  }
}

void FakeBoard::ServeLoop() {
  int conn = -1;
  std::string held;
  int closes_seen = 0;
  while (!stop_.load()) {
    if (conn < 0) {
      pollfd pfd{listen_fd_, POLLIN, 0};
      if (::poll(&pfd, 1, kPollMs) <= 0) {
        continue;
      }
      conn = ::accept(listen_fd_, nullptr, nullptr);
      if (conn >= 0) {
        connections_.fetch_add(1);
        held.clear();
        closes_seen = close_requested_.load();
      }
      continue;
    }
    if (close_requested_.load() != closes_seen) {
      closes_seen = close_requested_.load();
      ::close(conn);
      conn = -1;
      continue;
    }
    pollfd pfd{conn, POLLIN, 0};
    if (::poll(&pfd, 1, kPollMs) <= 0) {
      continue;
    }
    char buf[4096];
    ssize_t n = ::recv(conn, buf, sizeof(buf), 0);
    if (n <= 0) {
      ::close(conn);
      conn = -1;
      continue;
    }
    held.append(buf, static_cast<size_t>(n));
    while (conn >= 0 && held.size() >= 2) {
      const size_t len = static_cast<uint8_t>(held[0]) | (static_cast<size_t>(static_cast<uint8_t>(held[1])) << 8);
      if (held.size() < len + 2) {
        break;
      }
      station::SupplyMaterialReq req;
      const bool ok = req.ParseFromArray(held.data() + 2, static_cast<int>(len));
      held.erase(0, len + 2);
      if (!ok) {
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
      }
      if (!HandleRequest(conn, req)) {
        ::close(conn);
        conn = -1;
      }
    }
  }
  if (conn >= 0) {
    ::close(conn);
  }
  ::close(listen_fd_);
  listen_fd_ = -1;
}

bool FakeBoard::HandleRequest(int fd, const station::SupplyMaterialReq& req) {
  Script script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!scripts_.empty()) {
      script = scripts_.front();
      scripts_.pop_front();
    }
  }
  if (script.delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(script.delay_ms));
  }
  switch (script.answer) {
    case Answer::kSuccess:
      WriteAll(fd, Frame(Reply(req.seq_(), station::ENUM_SUCCESS)));
      break;
    case Answer::kError:
      WriteAll(fd, Frame(Reply(req.seq_(), script.error)));
      break;
    case Answer::kWrongSeq:
      WriteAll(fd, Frame(Reply(req.seq_() + 1000, station::ENUM_SUCCESS)));
      break;
    case Answer::kStaleThenSuccess:
      WriteAll(fd, Frame(Reply(req.seq_() - 1, station::ENUM_SUCCESS)) + Frame(Reply(req.seq_(), station::ENUM_SUCCESS)));
      break;
    case Answer::kSilent:
      break;
    case Answer::kClose:
      return false;
    case Answer::kSplit: {
      const std::string frame = Frame(Reply(req.seq_(), station::ENUM_SUCCESS));
      WriteAll(fd, frame.substr(0, 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      WriteAll(fd, frame.substr(3));
      break;
    }
    case Answer::kGarbage:
      WriteAll(fd, std::string("\x04\x00\xff\xff\xff\xff", 6));
      break;
    case Answer::kOversized:
      WriteAll(fd, std::string("\xff\xff\x08\x01", 4));
      break;
  }
  return true;
}

bool FakeBoard::ConnectReports(uint16_t port, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  do {
    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
      return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      // Each report goes out at once: the station never answers on this
      // connection, so a report held back for its ACK would wait out the
      // station's delayed ACK.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      std::lock_guard<std::mutex> lock(report_mutex_);
      if (report_fd_ >= 0) {
        ::close(report_fd_);
      }
      report_fd_ = fd;
      return true;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool FakeBoard::SendReport(const station::SensorsDataRep& report) { return SendRaw(Frame(report)); }

bool FakeBoard::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(report_mutex_);
  return report_fd_ >= 0 && WriteAll(report_fd_, bytes);
}

void FakeBoard::CloseReports() {
  std::lock_guard<std::mutex> lock(report_mutex_);
  if (report_fd_ >= 0) {
    ::close(report_fd_);
    report_fd_ = -1;
  }
}

}  // namespace station_test
