#pragma once
// The station's control board faked over loopback. Commands: every framed
// station.SupplyMaterialReq is recorded and answered ENUM_SUCCESS with its seq_,
// unless a scripted answer is queued (ScriptNext: one a request, in order).
// Reports: ConnectReports() connects to the station's report server. Frames are
// coded here apart from src/bottom, so a fault shared by the station's encoder
// and decoder cannot hide. Thread-safe.
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_test {

uint16_t PickFreeLoopbackPort();  // free a moment ago; 0 when none could be bound
std::string Frame(const google::protobuf::MessageLite& message);  // behind its 2-byte little-endian length
// A listener whose accept queue `filler_fd` fills: a board off the network, answering no connect.
int ListenWithFullQueue(uint16_t* port, int* filler_fd);

class FakeBoard {
 public:
  // kStaleThenSuccess: an error reply for seq_ - 1 first; kSplit: 50 ms between the parts.
  enum class Answer { kSuccess, kError, kStaleThenSuccess, kSilent, kClose, kSplit, kGarbage, kOversized };
  struct Script { Answer answer = Answer::kSuccess; int delay_ms = 0; };
  FakeBoard();
  ~FakeBoard() { StopListening(), CloseReports(); }
  uint16_t command_port() const { return port_; }  // 0 when listening failed
  void ScriptNext(Script script) { std::lock_guard<std::mutex> lock(mutex_); scripts_.push_back(script); }
  void ScriptNext(Answer answer) { ScriptNext(Script{answer}); }
  auto Requests() const { std::lock_guard<std::mutex> lock(mutex_); return requests_; }  // all so far, in order
  bool WaitForRequests(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
  int Connections() const { return connections_.load(); }
  // The board is down: connects refused.
  void StopListening() { stop_ = true; if (thread_.joinable()) thread_.join(); }
  bool ConnectReports(uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(5));
  bool SendReport(const station::SensorsDataRep& report) { return SendRaw(Frame(report)); }
  bool SendRaw(const std::string& bytes);  // one write
  void CloseReports();

 private:
  void Serve();
  bool Reply(int fd, int32_t seq, const Script& script);  // false: close the connection
  int listen_fd_ = -1, report_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::deque<Script> scripts_;
  std::vector<station::SupplyMaterialReq> requests_;
};

}  // namespace station_test
