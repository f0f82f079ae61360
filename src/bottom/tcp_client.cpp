#include "bottom/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "logger.h"

namespace station_center {

TcpClient::~TcpClient() {
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool TcpClient::Init() {
  if (!CreateSocket(fd_)) {
    return false;
  }
  if (!SetSockOpt(fd_, false)) {
    return false;
  }
  return Connect();
}

bool TcpClient::Connect() {
  QLOG_INFO("Try to connect server {}:{}", ip_, port_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  int flag = -1;
  if (::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) == 1) {
    flag = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  QLOG_INFO("TcpSocket::Connect get flag: {}", flag);
  if (flag < 0) {
    QLOG_ERROR("ErrorCode: {}, TcpSocket::Connect failed", 101900002);
    return false;
  }
  frames_.Clear();
  return true;
}

bool TcpClient::EnsureConnected() {
  if (IsConnected(fd_)) {
    return true;
  }
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
  return Init();
}

bool TcpClient::Send(const char* data, int len) {
  if (!EnsureConnected()) {
    return false;
  }
  return SendData(fd_, data, len);
}

int TcpClient::Recv(char* buf, int len) {
  if (!EnsureConnected()) {
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
  if (!EnsureConnected()) {
    return 0;
  }
  const int ready = WaitReadable(fd_, wait_ms);
  if (ready <= 0) {
    return -1;
  }
  return RecvData(fd_, buf, len);
}

}  // namespace station_center
