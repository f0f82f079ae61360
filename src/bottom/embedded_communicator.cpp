#include "bottom/embedded_communicator.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/frame_buffer.h"
#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

// One wait on the socket never exceeds the socket's own receive time-out.
constexpr int64_t kMaxWaitMs = 10000;
constexpr int64_t kSendRetryPauseMs = 1000;

// After a closed connection or a failed reconnect, the next attempt waits
// this long so that a board that is down is not hammered with connects.
constexpr int64_t kReconnectPauseMs = 100;

}  // namespace

EmbeddedCommunicator::EmbeddedCommunicator() = default;
EmbeddedCommunicator::~EmbeddedCommunicator() = default;

bool EmbeddedCommunicator::Init(SensorDataCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  tcp_client_ = std::make_shared<TcpClient>(config_reader.embedded_ip, config_reader.embedded_action_port);
  data_upload_server_ = std::make_shared<DataUploadServer>(config_reader.soc_ip, config_reader.soc_data_server_port,
                                                           1, std::move(callback));
  // A board that is down now is connected by the first command.
  tcp_client_->Init();
  data_upload_server_->Init();
  return true;
}

int32_t EmbeddedCommunicator::NextRequestId() {
  const int64_t now = NowSeconds();
  // Ids never repeat, so a late reply to an earlier exchange can never be
  // taken for the answer to this one.
  int32_t id = static_cast<int32_t>(now);
  if (static_cast<int64_t>(last_request_id_) >= now) {
    id = last_request_id_ + 1;
  }
  last_request_id_ = id;
  return id;
}

bool EmbeddedCommunicator::DoAction(const station::ActionCommand& cmd) {
  return DoAction(cmd, config_reader.bottom_action_timeout);
}

bool EmbeddedCommunicator::DoAction(const station::ActionCommand& cmd, int timeout_s) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t id = NextRequestId();
  QLOG_INFO("DoAction : {}, request id : {}", cmd.DebugString(), id);
  station::SupplyMaterialReq req;
  req.set_seq_(id);
  *req.mutable_cmd_() = cmd;
  station::SupplyMaterialRsp rsp;
  return BottomReqNeedResp(tcp_client_, req, rsp, timeout_s);
}

bool EmbeddedCommunicator::ChangeLed(const station::EnumLedCmd& led_cmd) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t id = NextRequestId();
  QLOG_INFO("ChangeLed, led cmd : {}, request id : {}", static_cast<int>(led_cmd), id);
  station::SupplyMaterialReq req;
  req.set_seq_(id);
  req.mutable_change_led_()->set_led_cmd_(led_cmd);
  station::SupplyMaterialRsp rsp;
  return BottomReqNeedResp(tcp_client_, req, rsp, config_reader.bottom_action_timeout);
}

bool EmbeddedCommunicator::BottomReqNeedResp(const std::shared_ptr<TcpClient>& client,
                                             const station::SupplyMaterialReq& req, station::SupplyMaterialRsp& rsp,
                                             int timeout_s) {
  const int32_t id = req.seq_();
  QLOG_INFO("EmbeddedCommunicator::BottomReqNeedResp request id :{}", id);
  std::string frame;
  if (!client || !EncodeFrame(req, frame)) {
    QLOG_ERROR("ErrorCode: {}, req serialize failed request id : {}", kRequestSerializeFailed, id);
    return false;
  }

  // Replies held on the connection between exchanges: a late reply to a failed
  // exchange waits there and is skipped by its id.
  FrameBuffer& frames = client->Frames(config_reader.do_action_cache_size);
  std::vector<char> chunk(frames.Capacity());
  std::string body;

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeout_s) * 1000);
  auto left_ms = [&deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  };

  bool send_pending = true;
  bool succeeded = false;
  bool failed = false;
  while (!succeeded && !failed && left_ms() > 0) {
    if (send_pending) {
      // A reconnect inside the exchange gets only the time the exchange has left.
      const int connect_wait_ms = static_cast<int>(std::min<int64_t>(left_ms(), TcpClient::kConnectWaitMs));
      if (!client->Send(frame.data(), static_cast<int>(frame.size()), connect_wait_ms)) {
        QLOG_ERROR("ErrorCode: {}, BottomReqNeedResp exchange failed, exchange:{}, request id : {}", kRequestSendFailed,
                   false, id);
        // Pause before the next attempt, but never past the deadline.
        const int64_t pause = std::min<int64_t>(kSendRetryPauseMs, std::max<int64_t>(left_ms(), 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        continue;
      }
      send_pending = false;
    }

    // Replies already held (several frames in one earlier read) come first.
    FrameBuffer::Next next = frames.Pop(body);
    if (next == FrameBuffer::Next::kNone) {
      const int64_t wait_ms = std::min<int64_t>(std::max<int64_t>(left_ms(), 0), kMaxWaitMs);
      const int len = client->Recv(chunk.data(), static_cast<int>(frames.Room()), static_cast<int>(wait_ms));
      if (len < 1) {
        QLOG_ERROR("ErrorCode: {}, SendCleaningComponentRequest response failed, rcvlen : {}, request id : {}",
                   kNoResponse, len, id);
        if (len == 0) {
          const int64_t pause = std::min<int64_t>(kReconnectPauseMs, std::max<int64_t>(left_ms(), 0));
          std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        }
        continue;
      }
      frames.Append(chunk.data(), static_cast<size_t>(len));
      next = frames.Pop(body);
    }
    while (next != FrameBuffer::Next::kNone) {
      station::SupplyMaterialRsp reply;
      if (next == FrameBuffer::Next::kOversized || !reply.ParseFromArray(body.data(), static_cast<int>(body.size()))) {
        QLOG_ERROR("ErrorCode: {}, Deserialize response from SendCleaningComponentRequest failed, request_id : {}",
                   kFrameDecodeFailed, id);
        frames.Clear();
        failed = true;
        break;
      }
      rsp = reply;
      if (rsp.seq_() != id) {
        QLOG_INFO("Recv data not this request, rcv request id : {}, current request id : {}", rsp.seq_(), id);
        next = frames.Pop(body);
        continue;
      }
      if (rsp.err_code_() != station::ENUM_SUCCESS) {
        QLOG_ERROR("ErrorCode: {}, SendCleaningComponentRequest processing failed right now, request id : {}",
                   kBoardRefused, id);
        failed = true;
      } else {
        succeeded = true;
      }
      break;  // frames behind the answer stay held for the next exchange
    }
  }

  QLOG_INFO("resp.err_code = {}, resp.error_msg = [{}] req_over_flag = {}, request id : {}",
            static_cast<int>(rsp.err_code_()), rsp.err_msg_(), succeeded, id);
  if (succeeded && rsp.err_code_() == station::ENUM_SUCCESS) {
    return true;
  }
  QLOG_ERROR("ErrorCode: {}, SendCleaningComponentRequest failed, request id : {}", kBoardExchangeFailed, id);
  return false;
}

}  // namespace station_center
