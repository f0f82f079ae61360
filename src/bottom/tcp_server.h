#pragma once

#include <string>

#include "bottom/tcp_socket.h"

namespace station_center {

// A listening socket served by one detached thread for the life of the
// process: bind, listen, then accept and serve one connection at a time
// (further peers wait in the listen queue). The object must outlive that
// thread, i.e. live until the process ends.
class TcpServer : public TcpSocket {
 public:
  TcpServer(std::string ip, int port, int backlog) : TcpSocket(std::move(ip), port), backlog_(backlog) {}
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Creates the socket and sets its options; only when both succeed starts the
  // detached server thread running Start().
  void Init();

  // Binds to ip:port (a bind or listen failure ends the process with status
  // 255), then accepts for ever.
  void Start();

  // Serves one accepted connection and closes it (sets `fd` to -1).
  virtual bool HandleAccept(int& fd);

 protected:
  int backlog_;
};

}  // namespace station_center
