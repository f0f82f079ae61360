#pragma once

#include <cstdint>
#include <string>

#include "bottom/frame_buffer.h"
#include "bottom/tcp_socket.h"

namespace station_center {

// The command connection to the board. Not thread-safe: its one user, the
// embedded communicator, calls it under its own mutex. A connection that is
// not established when it is used is re-created before the transfer.
class TcpClient : public TcpSocket {
 public:
  TcpClient(std::string ip, int port) : TcpSocket(std::move(ip), port) {}
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // The longest a connect waits for the board's answer.
  static constexpr int kConnectWaitMs = 3000;

  // Create, set options, connect; false at the first step that fails.
  bool Init(int connect_wait_ms = kConnectWaitMs);
  // Connects, waiting at most `wait_ms` (and never more than kConnectWaitMs)
  // for the board to answer: a board that is off the network costs the
  // caller no more than the time it has.
  bool Connect(int wait_ms = kConnectWaitMs);

  // Sends every byte, reconnecting first (within `connect_wait_ms`) when the
  // connection is not established.
  bool Send(const char* data, int len, int connect_wait_ms = kConnectWaitMs);
  // One read, blocking up to the 10 s receive time-out.
  int Recv(char* buf, int len);
  // One read after waiting at most `wait_ms` for data, a reconnect included:
  // -1 (no log) when nothing came in time, so a caller can keep its own deadline.
  int Recv(char* buf, int len, int wait_ms);

  // The bytes read on the current connection and not yet taken as frames,
  // with room for `capacity` bytes. Emptied whenever a new connection is
  // made: a partial frame of an old connection cannot complete on a new one.
  FrameBuffer& Frames(size_t capacity);

 private:
  // Re-creates the connection when it is not established; false when that fails.
  bool EnsureConnected(int connect_wait_ms);

  FrameBuffer frames_{4096};
};

}  // namespace station_center
