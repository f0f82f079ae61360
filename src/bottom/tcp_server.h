#pragma once

#include <string>

#include "bottom/tcp_socket.h"

namespace station_center {

// A listening socket served by one detached thread for the life of the
// process: bind, listen, then accept and serve one connection at a time. A
// peer that AdmitPeer refuses is closed at once, unread. While a connection is
// served, a serving loop that waits through WaitServing lets a newly admitted
// peer take its place (a peer that restarted without closing its old
// connection is served at once, not after keep-alive gives up). The object
// must outlive the thread, i.e. live until the process ends.
class TcpServer : public TcpSocket {
 public:
  TcpServer(std::string ip, int port, int backlog) : TcpSocket(std::move(ip), port), backlog_(backlog) {}
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Creates the socket and sets its options; only when both succeed binds and
  // listens in the calling thread (a failure ends the process with status 255
  // before the caller can command the board) and starts the detached server
  // thread running Start().
  void Init();

  // Binds to ip:port unless Init() did (a bind or listen failure ends the
  // process with status 255), then accepts for ever.
  void Start();

  // Serves one accepted connection and closes it (sets `fd` to -1).
  virtual bool HandleAccept(int& fd);

 protected:
  // Whether a peer at dotted address `ip` may be served; every peer here.
  virtual bool AdmitPeer(const std::string& ip);

  enum class Wake { kNothing, kData, kReplaced };
  // For a serving loop on the server thread: waits at most `wait_ms` until
  // `fd` has something to read (data, a close, an error) or a peer connects.
  // What `fd` holds comes first (kData); when it holds nothing, an admitted
  // peer replaces it: the old connection is closed and `fd` is the new one
  // (kReplaced).
  Wake WaitServing(int& fd, int wait_ms);

  int backlog_;

 private:
  // Binds and listens on fd_, or ends the process with status 255.
  void BindAndListen();
  bool listening_ = false;

  // Takes one peer from the listen queue and logs it: its descriptor when
  // admitted, -1 when refused (closed), none waited or accept failed.
  int AcceptPeer();
};

}  // namespace station_center
