#pragma once
// The station's control board faked over loopback: every framed station.SupplyMaterialReq is
// recorded and answered ENUM_SUCCESS with its seq_, unless a scripted answer is queued (ScriptNext:
// one a request, in order). Frames are coded here apart from src/bottom, so a fault shared by the
// station's encoder and decoder cannot hide. Thread-safe.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/cmd.pb.h"

namespace station_test {

// A socket listening on a free loopback port, written to `port`; -1 on failure. A backlog of 0
// still queues one connection.
inline int ListenOnLoopback(uint16_t* port, int backlog = 4) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof(addr);
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  if (fd >= 0 && ::bind(fd, sa, len) == 0 && ::listen(fd, backlog) == 0 && ::getsockname(fd, sa, &len) == 0) {
    return *port = ntohs(addr.sin_port), fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

// A stream socket to `port` on 127.0.0.1, from the loopback address `from` if given; -1 when refused.
inline int ConnectLoopback(uint16_t port, const char* from = nullptr) {
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

inline uint16_t PickFreeLoopbackPort() {  // free a moment ago; 0 when none could be bound
  uint16_t port = 0;
  return ::close(ListenOnLoopback(&port)), port;
}

inline std::string Frame(const google::protobuf::MessageLite& message) {  // behind its 2-byte little-endian length
  const std::string body = message.SerializeAsString();
  return std::string{static_cast<char>(body.size() & 0xFF), static_cast<char>((body.size() >> 8) & 0xFF)} + body;
}

inline bool SendAll(int fd, const std::string& b) {  // blocking: the kernel takes a test's few bytes at once
  return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}

class FakeBoard {
 public:
  // kStaleThenSuccess: an error reply for seq_ - 1 first; kSplit: 50 ms between the parts.
  enum class Answer { kSuccess, kError, kStaleThenSuccess, kSilent, kClose, kSplit, kGarbage, kOversized };
  struct Script { Answer answer = Answer::kSuccess; int delay_ms = 0; };
  FakeBoard() : listen_fd_(ListenOnLoopback(&port_)) {
    if (listen_fd_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeBoard() { StopListening(); }
  uint16_t command_port() const { return port_; }  // 0 when listening failed
  void ScriptNext(Script script) { std::lock_guard<std::mutex> lock(mutex_); scripts_.push_back(script); }
  auto Requests() const { std::lock_guard<std::mutex> lock(mutex_); return requests_; }  // all so far, in order
  auto Wire() const { std::lock_guard<std::mutex> lock(mutex_); return wire_; }  // the same, as framed bytes
  int Connections() const { return connections_.load(); }
  void StopListening() { stop_ = true; if (thread_.joinable()) thread_.join(); }  // down: connects are refused

 private:
  void Serve() {
    int conn = -1;
    std::string held;
    for (size_t len = 0; !stop_.load();) {
      pollfd pfd{conn < 0 ? listen_fd_ : conn, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0) continue;
      if (conn < 0) {
        if ((conn = ::accept(listen_fd_, nullptr, nullptr)) >= 0) ++connections_;
        held.clear();
        continue;
      }
      char buf[4096];
      const ssize_t n = ::recv(conn, buf, sizeof(buf), 0);
      held.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
      bool keep = n > 0;
      while (keep && held.size() >= 2 && held.size() >= (len = uint8_t(held[0]) | size_t(uint8_t(held[1])) << 8) + 2) {
        station::SupplyMaterialReq req;
        const bool parsed = req.ParseFromArray(held.data() + 2, static_cast<int>(len));
        Script script;
        if (parsed) {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(req);
          wire_.push_back(held.substr(0, len + 2));
          if (!scripts_.empty()) script = scripts_.front(), scripts_.pop_front();
        }
        held.erase(0, len + 2);
        keep = !parsed || Reply(conn, req.seq_(), script);
      }
      if (!keep) ::close(conn), conn = -1;
    }
    if (conn >= 0) ::close(conn);
    ::close(listen_fd_);
  }

  bool Reply(int fd, int32_t seq, const Script& script) {  // false: close the connection
    std::this_thread::sleep_for(std::chrono::milliseconds(script.delay_ms));
    station::SupplyMaterialRsp rsp;
    auto reply = [&rsp](int32_t id, auto code) { return rsp.set_seq_(id), rsp.set_err_code_(code), Frame(rsp); };
    const std::string right = reply(seq, station::ENUM_SUCCESS);
    const std::string bytes[] = {right, reply(seq, station::ENUM_ERROR_UNKNOW),  // one per Answer, in its order
                                 reply(seq - 1, station::ENUM_ERROR_UNKNOW) + right, "", "", right,
                                 std::string("\x04\x00\xff\xff\xff\xff", 6), std::string("\xff\xff\x08\x01", 4)};
    const std::string& out = bytes[static_cast<int>(script.answer)];
    const size_t first = script.answer == Answer::kSplit ? 3 : out.size();
    SendAll(fd, out.substr(0, first));
    if (first < out.size()) std::this_thread::sleep_for(std::chrono::milliseconds(50)), SendAll(fd, out.substr(first));
    return script.answer != Answer::kClose;
  }

  uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::deque<Script> scripts_;
  std::vector<station::SupplyMaterialReq> requests_;
  std::vector<std::string> wire_;
};

}  // namespace station_test
