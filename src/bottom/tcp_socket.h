#pragma once

#include <string>

namespace station_center {

// Base of the board link's IPv4 TCP sockets. Moves bytes only; framing lives
// in FrameBuffer. Objects are owned through shared pointers of their concrete
// type, so the destructor is not virtual.
class TcpSocket {
 public:
  TcpSocket(std::string ip, int port) : ip_(std::move(ip)), port_(port) {}

  // Creates an IPv4 stream socket and stores its descriptor in `fd`.
  bool CreateSocket(int& fd);

  // Keep-alive (a dead peer is noticed after 20 + 3 x 6 s), 3 s send and
  // connect time-out, 10 s receive time-out; SO_REUSEADDR for servers. Stops
  // at the first option that fails.
  virtual bool SetSockOpt(int fd, bool server);

  // Sends every byte; false on the first failing send. Never raises SIGPIPE.
  bool SendData(int fd, const char* data, int len);

  // One read of at most `len` bytes: the count, 0 when the peer closed, -1 on
  // time-out (no log) or error.
  int RecvData(int fd, char* buf, int len);

  // True when the kernel reports the connection as established.
  bool IsConnected(int fd);

  // Waits until `fd` has something to read (data, a close or an error) for at
  // most `wait_ms`: 1 when readable, 0 on time-out, -1 on a failed wait.
  static int WaitReadable(int fd, int wait_ms);

  int fd() const { return fd_; }

 protected:
  ~TcpSocket() = default;

  std::string ip_;
  int port_;
  int fd_ = -1;
};

}  // namespace station_center
