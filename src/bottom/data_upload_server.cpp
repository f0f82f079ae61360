#include "bottom/data_upload_server.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bottom/frame_buffer.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

// Reports are read at this pace; frames that arrive in between wait in the
// socket and the buffer, and every one of them is decoded at the next read.
constexpr auto kReadPause = std::chrono::milliseconds(100);
// The longest a quiet connection waits before its state is tested again; data,
// a close or a new board connection ends the wait at once.
constexpr int kIdleWaitMs = 1000;

// Decoded reports, for the debug print. Only the server thread moves it; the
// atomic keeps a second server in the same process (tests) race-free.
std::atomic<int> report_counter{0};

}  // namespace

bool DataUploadServer::AdmitPeer(const std::string& ip) {
  if (ip == config_reader.embedded_ip) {
    return true;
  }
  // Reports decide what the actuators do: only the board may send them.
  QLOG_ERROR("ErrorCode: {}, report connection from {} refused, the board is {}", kReportPeerRefused, ip,
             config_reader.embedded_ip);
  return false;
}

bool DataUploadServer::HandleAccept(int& fd) {
  if (fd > 0) {
    FrameBuffer frames(config_reader.data_upload_server_cache_size);
    std::vector<char> chunk(frames.Capacity());
    std::string body;
    while (IsConnected(fd)) {
      std::this_thread::sleep_for(kReadPause);
      const Wake wake = WaitServing(fd, kIdleWaitMs);
      if (wake == Wake::kReplaced) {
        frames.Clear();  // a partial frame of the old connection never completes on the new one
        continue;
      }
      if (wake != Wake::kData) {
        continue;
      }
      const int len = RecvData(fd, chunk.data(), static_cast<int>(frames.Room()));
      if (len < 1) {
        continue;  // a closed connection ends the loop at the next test
      }
      QLOG_DEBUG("listener rcv data, data len {}", len);
      frames.Append(chunk.data(), static_cast<size_t>(len));
      for (;;) {
        const FrameBuffer::Next next = frames.Pop(body);
        if (next == FrameBuffer::Next::kNone) {
          break;
        }
        station::SensorsDataRep report;
        if (next == FrameBuffer::Next::kOversized ||
            !report.ParseFromArray(body.data(), static_cast<int>(body.size()))) {
          // The stream has lost its frame boundary: whatever is held is dropped.
          QLOG_ERROR("ErrorCode: {}, Deserialize CleanRobotReport error", kFrameDecodeFailed);
          frames.Clear();
          break;
        }
        if (config_reader.debug) {
          const int count = report_counter.fetch_add(1) + 1;
          const int space = config_reader.sensor_data_print_space;
          if (space > 0 && count % space == 0) {
            QLOG_INFO("sensor data : {}", report.DebugString());
          }
        }
        if (callback_) {
          callback_(report);
        }
      }
    }
  }
  QLOG_INFO("The connection has been disconnected");
  if (fd != -1) {
    ::close(fd);
  }
  fd = -1;
  return true;
}

}  // namespace station_center
