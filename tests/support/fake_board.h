#pragma once

// An in-test stand-in for the station's control board over loopback.
//
// Command side: listens on command_port() and serves one command connection
// at a time. Every framed station.SupplyMaterialReq is recorded in arrival
// order and answered with ENUM_SUCCESS and the request's seq_, unless a
// scripted answer is queued (ScriptNext): each queued answer serves one
// request, in order. Report side: ConnectReports() opens a connection to the
// station's report server; SendReport()/SendRaw() write on it.
//
// Frames are encoded and decoded here independently of src/bottom, so a fault
// shared by the station's encoder and decoder cannot hide behind the fake.
// All methods are thread-safe; the destructor joins the serve thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_test {

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none could be bound.
uint16_t PickFreeLoopbackPort();
// `message` serialised behind its 2-byte little-endian length.
std::string Frame(const google::protobuf::MessageLite& message);
station::ActionCommand Action(station::EnumSupplyType type, int32_t action);

// A board off the network: a loopback listener whose accept queue is full, so
// the kernel drops every further SYN. port() is 0 when it could not be set up.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1, filler_fd_ = -1;
  uint16_t port_ = 0;
};

class FakeBoard {
 public:
  enum class Answer {
    kSuccess,           // seq_ echoed, ENUM_SUCCESS
    kError,             // seq_ echoed, err_code_ = Script::error
    kStaleThenSuccess,  // an error reply for seq_ - 1, then the right one, in one write
    kSilent,            // no reply
    kClose,             // the connection closed instead of a reply
    kSplit,             // the right reply in two writes, 50 ms apart
    kGarbage,           // a frame whose body is no SupplyMaterialRsp
    kOversized,         // a prefix announcing 65535 bytes, then two bytes
  };
  struct Script {
    Answer answer = Answer::kSuccess;
    station::EnumErrCode error = station::ENUM_ERROR_UNKNOW;
    int delay_ms = 0;  // wait before answering
  };

  FakeBoard();
  ~FakeBoard();
  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  uint16_t command_port() const { return port_; }  // 0 when listening failed
  void ScriptNext(Script script);
  void ScriptNext(Answer answer) { ScriptNext(Script{answer}); }
  std::vector<station::SupplyMaterialReq> Requests() const;
  bool WaitForRequests(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
  int Connections() const { return connections_.load(); }
  // The board is down: listener and connection closed, connects refused.
  void StopListening();

  bool ConnectReports(uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(5));
  bool SendReport(const station::SensorsDataRep& report) { return SendRaw(Frame(report)); }
  bool SendRaw(const std::string& bytes);  // one write
  void CloseReports();

 private:
  void Serve();
  bool Reply(int fd, const station::SupplyMaterialReq& req);  // false: close the connection

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::deque<Script> scripts_;
  std::vector<station::SupplyMaterialReq> requests_;
  std::mutex report_mutex_;
  int report_fd_ = -1;
};

}  // namespace station_test
