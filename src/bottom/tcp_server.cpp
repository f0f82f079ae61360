#include "bottom/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {
// A failing accept (no descriptors left, a network error) is retried after
// this pause rather than in a loop that would eat a core.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
}  // namespace

TcpServer::~TcpServer() {
  QLOG_INFO("~TcpServer");
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
}

namespace {

// The server cannot serve, so the station cannot work: end the process the way
// a failed start-up does. Other threads (the board link, the MQTT library) still
// run, so no exit handler or static destructor may run under them: flush what
// was logged and leave at once.
[[noreturn]] void ExitWithoutCleanUp() {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(255);
}

}  // namespace

void TcpServer::Init() {
  if (!CreateSocket(fd_)) {
    return;
  }
  if (!SetSockOpt(fd_, true)) {
    return;
  }
  // Listening before the start-up goes on: an address that cannot be served
  // ends the process before anything on the board is switched on.
  BindAndListen();
  QLOG_INFO("Start tcp server thread");
  try {
    std::thread([this] { Start(); }).detach();
  } catch (const std::system_error& e) {
    QLOG_ERROR("ErrorCode: {}, Start tcp server thread failed: {}", kTcpServerStartFailed, e.what());
  }
}

void TcpServer::BindAndListen() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  int bound = -1;
  if (::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) == 1) {
    bound = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  } else {
    errno = EINVAL;
  }
  if (bound != 0) {
    const int err = errno;
    QLOG_ERROR("ErrorCode: {}, Bind Socket error: {}(errornum: {})", kTcpServerStartFailed, std::strerror(err), err);
    ExitWithoutCleanUp();
  }
  if (::listen(fd_, backlog_) != 0) {
    const int err = errno;
    QLOG_ERROR("ErrorCode: {}, Listen Socket error: {}(errornum: {})", kTcpListenFailed, std::strerror(err), err);
    ExitWithoutCleanUp();
  }
  listening_ = true;
}

void TcpServer::Start() {
  if (!listening_) {
    BindAndListen();
  }
  // Non-blocking, so that a peer that reset between the wake-up and the
  // accept leaves the thread waiting in poll, not stuck in accept.
  const int flags = ::fcntl(fd_, F_GETFL, 0);
  if (flags >= 0) {
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  }
  for (;;) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, -1) < 0) {
      if (errno != EINTR) {
        std::this_thread::sleep_for(kAcceptRetryPause);
      }
      continue;
    }
    int conn = AcceptPeer();
    if (conn < 0) {
      continue;
    }
    HandleAccept(conn);
    if (conn != -1) {
      ::close(conn);  // an override that left it open must not leak it
    }
  }
}

int TcpServer::AcceptPeer() {
  sockaddr_in peer{};
  socklen_t peer_len = sizeof(peer);
  const int conn = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &peer_len);
  if (conn < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      std::this_thread::sleep_for(kAcceptRetryPause);
    }
    return -1;
  }
  // Accepted sockets do not take over the listener's non-blocking flag: reads
  // block up to the receive time-out carried over from the listener.
  char text[INET_ADDRSTRLEN] = {0};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
  QLOG_INFO("Accept a connection, ip : {}, port : {}", text, ntohs(peer.sin_port));
  if (!AdmitPeer(text)) {
    ::close(conn);
    return -1;
  }
  return conn;
}

bool TcpServer::AdmitPeer(const std::string& /*ip*/) { return true; }

TcpServer::Wake TcpServer::WaitServing(int& fd, int wait_ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {fd_, POLLIN, 0}};
  if (::poll(fds, 2, wait_ms < 0 ? 0 : wait_ms) <= 0) {
    return Wake::kNothing;
  }
  // What the served connection still holds (reports, a close) is taken first.
  if (fds[0].revents != 0) {
    return Wake::kData;
  }
  if ((fds[1].revents & POLLIN) != 0) {
    const int newcomer = AcceptPeer();
    if (newcomer >= 0) {
      QLOG_INFO("The new connection replaces the one served, which is closed");
      ::close(fd);
      fd = newcomer;
      return Wake::kReplaced;
    }
  }
  return Wake::kNothing;
}

bool TcpServer::HandleAccept(int& fd) {
  QLOG_INFO("Handle Accept connection");
  ::close(fd);
  fd = -1;
  return true;
}

}  // namespace station_center
