#pragma once

#include <functional>
#include <string>

#include "bottom/tcp_server.h"
#include "station/station_report.pb.h"

namespace station_center {

// The report server: the board connects and pushes framed
// station.SensorsDataRep reports; every report that decodes is handed to the
// callback on the server thread, in arrival order. Nothing is written back.
// Only the board's address (embedded_ip) is served; a new connection from it
// replaces the one served, as after a board restart.
class DataUploadServer : public TcpServer {
 public:
  using Callback = std::function<void(const station::SensorsDataRep&)>;

  DataUploadServer(std::string ip, int port, int backlog, Callback callback)
      : TcpServer(std::move(ip), port, backlog), callback_(std::move(callback)) {}

  // Serves one board connection until it is no longer established, then closes it.
  bool HandleAccept(int& fd) override;

 protected:
  bool AdmitPeer(const std::string& ip) override;

 private:
  Callback callback_;
};

}  // namespace station_center
