// The robot's four requests as raw MQTT payloads, handed to the request
// handlers of a started station center whose board is a minimal peer inside
// this process. The first byte picks the topic; the rest is the payload.
// Whatever arrives, a handler answers (or drops) it without crashing, hanging
// or corrupting the station's state.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "bottom/frame_buffer.h"
#include "config.h"
#include "fuzz/fuzz_support.h"
#include "mqtt/mqtt_callback.h"
#include "station/cmd.pb.h"
#include "station_center.h"

namespace {

// Listens on a free loopback port and confirms every command it is sent.
class AlwaysYesBoard {
 public:
  AlwaysYesBoard() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(fd_, 4);
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    std::thread([fd = fd_]() { Serve(fd); }).detach();
  }
  uint16_t port() const { return port_; }

 private:
  static void Serve(int listen_fd) {
    for (;;) {
      const int fd = ::accept(listen_fd, nullptr, nullptr);
      if (fd < 0) {
        continue;
      }
      station_center::FrameBuffer frames(4096);
      char chunk[4096];
      std::string body;
      for (;;) {
        const ssize_t n = ::read(fd, chunk, frames.Room());
        if (n <= 0) {
          break;
        }
        frames.Append(chunk, static_cast<size_t>(n));
        while (frames.Pop(body) == station_center::FrameBuffer::Next::kFrame) {
          station::SupplyMaterialReq req;
          req.ParseFromString(body);
          station::SupplyMaterialRsp rsp;
          rsp.set_seq_(req.seq_());
          std::string frame;
          station_center::EncodeFrame(rsp, frame);
          ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        }
      }
      ::close(fd);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
};

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

struct Station {
  Station() {
    const std::string config = "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" +
                               std::to_string(board.port()) + ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" +
                               std::to_string(FreePort()) +
                               ",\"running_schedule_space\":1,\"bottom_action_timeout\":1,"
                               "\"sensor_report_timeout\":0,\"mqtt_server_address\":\"tcp://127.0.0.1:1\"}";
    folder.Write("config.json", reinterpret_cast<const uint8_t*>(config.data()), config.size());
    folder.Write("led.json", reinterpret_cast<const uint8_t*>("{}"), 2);
    center = std::make_shared<station_center::StationCenter>();
    station_center::global_station_center = center;
    if (!center->Init()) {
      std::abort();
    }
    // An empty tank ends the start-up reset at once, so requests meet a normal station.
    station::SensorsDataRep report;
    report.set_cleantankfootlevel(1);
    report.set_dustbagdet(1);
    report.set_dustboxcapdet(1);
    center->DataUploadCallback(report);
    callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  }

  station_fuzz::ConfigFolder folder;
  AlwaysYesBoard board;
  std::shared_ptr<station_center::StationCenter> center;
  std::shared_ptr<mqtt_callback::MqttCallback> callback;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Station* const station = new Station;  // lives, with its threads, until the process ends
  if (size < 1) {
    return 0;
  }
  static const char* const kTopics[] = {"checkStation", "dockState", "preWaterRequest", "supplyMaterialRequest",
                                        "reportActivelyRe"};
  const std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  station->callback->onMessageArrived(payload, kTopics[data[0] % 5]);
  return 0;
}
