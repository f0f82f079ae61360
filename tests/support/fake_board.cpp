#include "fake_board.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "station_fixture.h"

namespace station_test {
namespace {

// A loopback socket connected to `port`, or, given `bound`, listening on a free
// port written there; -1 on failure.
int Socket(uint16_t port, uint16_t* bound = nullptr, int backlog = 4) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof(addr);
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = fd >= 0 && (bound == nullptr ? ::connect(fd, sa, len) == 0
                                               : ::bind(fd, sa, len) == 0 && ::listen(fd, backlog) == 0 &&
                                                     ::getsockname(fd, sa, &len) == 0);
  if (ok && bound != nullptr) *bound = ntohs(addr.sin_port);
  if (!ok && fd >= 0) ::close(fd);
  return ok ? fd : -1;
}

// A blocking send hands the kernel the few bytes of a test at once.
bool WriteAll(int fd, const std::string& b) { return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

}  // namespace

uint16_t PickFreeLoopbackPort() {
  uint16_t port = 0;
  return ::close(Socket(0, &port, 1)), port;
}

int ListenWithFullQueue(uint16_t* port, int* filler_fd) {
  const int fd = Socket(0, port, 0);  // a queue of length 0 holds one connection: the filler's
  *filler_fd = fd >= 0 ? Socket(*port) : -1;
  return fd;
}

std::string Frame(const google::protobuf::MessageLite& message) {
  const std::string body = message.SerializeAsString();
  return std::string{static_cast<char>(body.size() & 0xFF), static_cast<char>((body.size() >> 8) & 0xFF)} + body;
}

FakeBoard::FakeBoard() {
  listen_fd_ = Socket(0, &port_);
  if (listen_fd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

bool FakeBoard::WaitForRequests(size_t count, std::chrono::milliseconds bound) const {
  return WaitFor([&] { return Requests().size() >= count; }, bound);
}

void FakeBoard::Serve() {
  int conn = -1;
  std::string held;
  for (size_t len = 0; !stop_.load();) {
    pollfd pfd{conn < 0 ? listen_fd_ : conn, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    if (conn < 0) {
      conn = ::accept(listen_fd_, nullptr, nullptr);
      connections_ += conn >= 0 ? 1 : 0;
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
      held.erase(0, len + 2);
      Script script;
      if (parsed) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
        if (!scripts_.empty()) script = scripts_.front(), scripts_.pop_front();
      }
      keep = !parsed || Reply(conn, req.seq_(), script);
    }
    if (!keep) ::close(conn), conn = -1;
  }
  if (conn >= 0) ::close(conn);
  ::close(listen_fd_);
}

bool FakeBoard::Reply(int fd, int32_t seq, const Script& script) {
  std::this_thread::sleep_for(std::chrono::milliseconds(script.delay_ms));
  station::SupplyMaterialRsp rsp;
  auto reply = [&rsp](int32_t id, auto code) { return rsp.set_seq_(id), rsp.set_err_code_(code), Frame(rsp); };
  const std::string right = reply(seq, station::ENUM_SUCCESS);
  const std::string bytes[] = {right, reply(seq, station::ENUM_ERROR_UNKNOW),  // one per Answer, in its order
                               reply(seq - 1, station::ENUM_ERROR_UNKNOW) + right, "", "", right,
                               std::string("\x04\x00\xff\xff\xff\xff", 6), std::string("\xff\xff\x08\x01", 4)};
  const std::string& out = bytes[static_cast<int>(script.answer)];
  const size_t first = script.answer == Answer::kSplit ? 3 : out.size();
  WriteAll(fd, out.substr(0, first));
  if (first < out.size()) std::this_thread::sleep_for(std::chrono::milliseconds(50)), WriteAll(fd, out.substr(first));
  return script.answer != Answer::kClose;
}

bool FakeBoard::ConnectReports(uint16_t port, std::chrono::milliseconds bound) {
  int fd = -1;
  if (!WaitFor([&] { return (fd = Socket(port)) >= 0; }, bound)) return false;
  // Each report goes out at once: nothing answers on this connection, so a
  // report held back for an ACK would wait out the station's delayed ACK.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  CloseReports();
  std::lock_guard<std::mutex> lock(mutex_);
  report_fd_ = fd;
  return true;
}

bool FakeBoard::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return report_fd_ >= 0 && WriteAll(report_fd_, bytes);
}

void FakeBoard::CloseReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (report_fd_ >= 0) ::close(report_fd_), report_fd_ = -1;
}

}  // namespace station_test
