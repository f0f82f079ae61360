#include "bottom/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

TcpClient::~TcpClient() {
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
}

namespace {

// Connects `fd` to `addr`, waiting at most `wait_ms` for the handshake: 0 when
// connected, -1 otherwise. The socket is non-blocking only meanwhile.
int ConnectWithin(int fd, const sockaddr_in& addr, int wait_ms) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return -1;
  }
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  if (result != 0 && errno == EINPROGRESS) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd pfd{fd, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left, 0)));
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready > 0) {
        int error = 0;
        socklen_t len = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) {
          result = 0;
        }
      }
      break;  // connected, refused, or out of time
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return result == 0 ? 0 : -1;
}

}  // namespace

bool TcpClient::Init(int connect_wait_ms) {
  if (!CreateSocket(fd_)) {
    return false;
  }
  if (!SetSockOpt(fd_, false)) {
    return false;
  }
  return Connect(connect_wait_ms);
}

bool TcpClient::Connect(int wait_ms) {
  QLOG_INFO("Try to connect server {}:{}", ip_, port_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  int flag = -1;
  if (::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) == 1) {
    flag = ConnectWithin(fd_, addr, std::clamp(wait_ms, 0, kConnectWaitMs));
  }
  QLOG_INFO("TcpSocket::Connect get flag: {}", flag);
  if (flag < 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::Connect failed", kTcpConnectFailed);
    return false;
  }
  frames_.Clear();
  return true;
}

bool TcpClient::EnsureConnected(int connect_wait_ms) {
  if (IsConnected(fd_)) {
    return true;
  }
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
  return Init(connect_wait_ms);
}

bool TcpClient::Send(const char* data, int len, int connect_wait_ms) {
  if (!EnsureConnected(connect_wait_ms)) {
    return false;
  }
  return SendData(fd_, data, len);
}

int TcpClient::Recv(char* buf, int len) {
  if (!EnsureConnected(kConnectWaitMs)) {
    return 0;
  }
  return RecvData(fd_, buf, len);
}

FrameBuffer& TcpClient::Frames(size_t capacity) {
  if (frames_.Capacity() != capacity) {
    frames_ = FrameBuffer(capacity);
  }
  return frames_;
}

int TcpClient::Recv(char* buf, int len, int wait_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  if (!EnsureConnected(wait_ms)) {
    return 0;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  const int ready = WaitReadable(fd_, static_cast<int>(std::max<int64_t>(left, 0)));
  if (ready <= 0) {
    return -1;
  }
  return RecvData(fd_, buf, len);
}

}  // namespace station_center
