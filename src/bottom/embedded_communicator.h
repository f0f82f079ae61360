#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "bottom/board_link.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {

class TcpClient;
class DataUploadServer;

using SensorDataCallback = std::function<void(const station::SensorsDataRep&)>;

// The station center's only way to command the control board. Owns the command
// connection (the station as TCP client) and the sensor report server (the
// station as TCP server). Every command is one exchange: a framed
// station.SupplyMaterialReq, answered by the station.SupplyMaterialRsp that
// carries the same request id. Whole exchanges are serialised by mutex_, so a
// command may wait behind another for up to bottom_action_timeout seconds.
class EmbeddedCommunicator : public BoardLink {
 public:
  EmbeddedCommunicator();
  ~EmbeddedCommunicator() override;

  // Connects to the board (a board that is down is connected by the first
  // command) and starts the report server, which hands every decoded report to
  // `callback` on its own thread. True when both objects were created.
  bool Init(SensorDataCallback callback);

  bool DoAction(const station::ActionCommand& cmd) override;
  bool DoAction(const station::ActionCommand& cmd, int timeout_s) override;
  bool ChangeLed(const station::EnumLedCmd& led_cmd) override;

  // One exchange on `client`: send `req`, read until the reply with the same
  // seq_ arrives or `timeout_s` seconds have passed. Caller holds mutex_.
  bool BottomReqNeedResp(const std::shared_ptr<TcpClient>& client, const station::SupplyMaterialReq& req,
                         station::SupplyMaterialRsp& rsp, int timeout_s);

 private:
  int32_t NextRequestId();

  std::mutex mutex_;
  std::shared_ptr<TcpClient> tcp_client_;
  std::shared_ptr<DataUploadServer> data_upload_server_;
  int32_t last_request_id_ = 0;
};

}  // namespace station_center
