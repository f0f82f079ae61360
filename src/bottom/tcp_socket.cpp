#include "bottom/tcp_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

constexpr int kKeepIdleS = 20;
constexpr int kKeepCount = 3;
constexpr int kSendTimeoutS = 3;
constexpr int kRecvTimeoutS = 10;

}  // namespace

bool TcpSocket::CreateSocket(int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::CreateSocket failed", kSocketCreateFailed);
    return false;
  }
  return true;
}

bool TcpSocket::SetSockOpt(int fd, bool server) {
  int keep_alive = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keep_alive, sizeof(keep_alive)) != 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_KEEPALIVE failed", kSocketOptionFailed);
    return false;
  }
  int idle = kKeepIdleS;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPIDLE failed", kSocketOptionFailed);
    return false;
  }
  int interval = idle / 3 > 0 ? idle / 3 : 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPINTVL failed", kSocketOptionFailed);
    return false;
  }
  int count = kKeepCount;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count)) != 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPCNT failed", kSocketOptionFailed);
    return false;
  }
  timeval send_timeout{kSendTimeoutS, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout)) != 0) {
    std::puts("TcpSocket::SetSockOpt SO_SNDTIMEO failed");
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_SNDTIMEO failed", kSocketOptionFailed);
    return false;
  }
  timeval recv_timeout{kRecvTimeoutS, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &recv_timeout, sizeof(recv_timeout)) != 0) {
    std::puts("TcpSocket::SetSockOpt SO_RCVTIMEO failed");
    QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_RCVTIMEO failed", kSocketOptionFailed);
    return false;
  }
  if (server) {
    int reuse = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
      std::puts("TcpSocket::SetSockOpt SO_REUSEADDR failed");
      QLOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_REUSEADDR failed", kSocketOptionFailed);
      return false;
    }
  }
  return true;
}

bool TcpSocket::SendData(int fd, const char* data, int len) {
  int total = 0;
  while (total < len) {
    // MSG_NOSIGNAL: a peer that has gone makes the send fail, not the process die.
    const ssize_t ret = ::send(fd, data + total, static_cast<size_t>(len - total), MSG_NOSIGNAL);
    if (ret < 0) {
      QLOG_ERROR("ErrorCode: {}, TcpSocket::Send data failed, totalLen: {}, dataLen: {}, ret: {}", kSocketSendFailed,
                 total, len, ret);
      return false;
    }
    total += static_cast<int>(ret);
  }
  return true;
}

int TcpSocket::RecvData(int fd, char* buf, int len) {
  const ssize_t ret = ::read(fd, buf, static_cast<size_t>(len));
  if (ret > 0) {
    return static_cast<int>(ret);
  }
  if (ret == 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::RecvData connect shutdown", kSocketPeerClosed);
    return 0;
  }
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    return -1;
  }
  QLOG_ERROR("ErrorCode: {}, TcpSocket::RecvData failed, ret:{}, errno:{}", kSocketRecvFailed, ret, err);
  return -1;
}

bool TcpSocket::IsConnected(int fd) {
  if (fd < 0) {
    return false;
  }
  tcp_info info{};
  socklen_t len = sizeof(info);
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
    return false;
  }
  return info.tcpi_state == TCP_ESTABLISHED;
}

int TcpSocket::WaitReadable(int fd, int wait_ms) {
  pollfd pfd{fd, POLLIN, 0};
  const int ret = ::poll(&pfd, 1, wait_ms < 0 ? 0 : wait_ms);
  if (ret < 0) {
    return errno == EINTR ? 0 : -1;
  }
  return ret > 0 ? 1 : 0;
}

}  // namespace station_center
