// The robot's four requests as raw MQTT payloads, handed to the request
// handlers of a started station center whose board is a minimal peer inside
// this process. The first byte picks the topic; the rest is the payload.
// Whatever arrives, a handler answers (or drops) it without crashing, hanging
// or corrupting the station's state.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <memory>
#include <thread>

#include "bottom/frame_buffer.h"
#include "config.h"
#include "fuzz/fuzz_support.h"
#include "mqtt/mqtt_callback.h"
#include "station_center.h"

namespace {

// A socket listening on a free loopback port, written to `port`.
int Listen(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof(addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), ::listen(fd, 4);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// A board that confirms every command it is sent; returns its port.
uint16_t StartAlwaysYesBoard() {
  uint16_t port = 0;
  std::thread([listen_fd = Listen(&port)] {
    for (int fd; (fd = ::accept(listen_fd, nullptr, nullptr)) >= 0; ::close(fd)) {
      station_center::FrameBuffer frames(4096);
      char chunk[4096];
      std::string body, frame;
      for (ssize_t n; (n = ::read(fd, chunk, frames.Room())) > 0;) {
        frames.Append(chunk, static_cast<size_t>(n));
        while (frames.Pop(body) == station_center::FrameBuffer::Next::kFrame) {
          station::SupplyMaterialReq req;
          station::SupplyMaterialRsp rsp;
          rsp.set_seq_(req.ParseFromString(body) ? req.seq_() : 0);
          if (station_center::EncodeFrame(rsp, frame)) ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        }
      }
    }
  }).detach();
  return port;
}

struct Station {
  Station() {
    uint16_t report_port = 0;
    ::close(Listen(&report_port));  // free a moment ago
    const std::string config = "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" +
                               std::to_string(StartAlwaysYesBoard()) +
                               ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" + std::to_string(report_port) +
                               ",\"running_schedule_space\":1,\"bottom_action_timeout\":1,"
                               "\"sensor_report_timeout\":0,\"mqtt_server_address\":\"tcp://127.0.0.1:1\"}";
    folder.Write("config.json", config.data(), config.size());
    folder.Write("led.json", "{}", 2);
    center = std::make_shared<station_center::StationCenter>();
    station_center::global_station_center = center;
    if (!center->Init()) std::abort();
    // An empty tank ends the start-up reset at once, so requests meet a normal station.
    station::SensorsDataRep report;
    report.set_cleantankfootlevel(1), report.set_dustbagdet(1), report.set_dustboxcapdet(1);
    center->DataUploadCallback(report);
    callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  }
  station_fuzz::ConfigFolder folder;
  std::shared_ptr<station_center::StationCenter> center;
  std::shared_ptr<mqtt_callback::MqttCallback> callback;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Station* const station = new Station;  // lives, with its threads, until the process ends
  static const char* const kTopics[] = {"checkStation", "dockState", "preWaterRequest", "supplyMaterialRequest",
                                        "reportActivelyRe"};
  if (size < 1) return 0;
  station->callback->onMessageArrived(std::string(reinterpret_cast<const char*>(data) + 1, size - 1),
                                      kTopics[data[0] % 5]);
  return 0;
}
