#pragma once

// An in-test stand-in for the station's embedded control board, over loopback.
//
// Command side: FakeBoard listens on a free 127.0.0.1 port (command_port()) and
// serves the station's command connection, one connection at a time. Every
// framed station.SupplyMaterialReq it receives is recorded in arrival order and
// answered with a station.SupplyMaterialRsp carrying the request's seq_ and
// ENUM_SUCCESS, unless a scripted answer is queued (ScriptNext): each queued
// answer is used by one request, in order, then the default applies again.
//
// Report side: ConnectReports() opens a connection to the station's report
// server and SendReport()/SendRaw() push frames on it.
//
// Frames are encoded and decoded here independently of src/bottom, so a fault
// shared by the station's encoder and decoder cannot hide behind the fake.
//
// Typical use:
//   station_test::FakeBoard board;
//   config_reader.embedded_ip = "127.0.0.1";
//   config_reader.embedded_action_port = board.command_port();
//   ... run the code under test ...
//   auto reqs = board.Requests();   // every command the board received, in order
//
// All methods are thread-safe. The destructor stops and joins the fake's own
// threads and closes its sockets.

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

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and
// released). 0 when no socket could be bound.
uint16_t PickFreeLoopbackPort();

// `message` serialised and prefixed with its 2-byte little-endian length.
std::string Frame(const google::protobuf::MessageLite& message);

// Convenience for command expectations.
station::ActionCommand Action(station::EnumSupplyType type, int32_t action);

// A board address that never answers a connect, as a board off the network:
// a loopback listener whose accept queue is full, so the kernel drops every
// further SYN. port() is 0 when it could not be set up.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int filler_fd_ = -1;
  uint16_t port_ = 0;
};

class FakeBoard {
 public:
  enum class Answer {
    kSuccess,    // seq_ echoed, ENUM_SUCCESS
    kError,      // seq_ echoed, err_code_ = Script::error
    kWrongSeq,   // only a reply with seq_ + 1000 (never the awaited id)
    kStaleThenSuccess,  // a reply with seq_ - 1, then the right one, in one write
    kSilent,     // no reply at all
    kClose,      // close the command connection instead of replying
    kSplit,      // the right reply in two writes, 50 ms apart
    kGarbage,    // a frame whose body is not a SupplyMaterialRsp, then nothing
    kOversized,  // a prefix announcing 65535 bytes followed by a few, then nothing
  };
  struct Script {
    Answer answer = Answer::kSuccess;
    station::EnumErrCode error = station::ENUM_ERROR_UNKNOW;
    int delay_ms = 0;  // wait this long before answering (kSuccess/kError/kWrongSeq)
  };

  FakeBoard();
  ~FakeBoard();
  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  // The command port; 0 when listening failed (tests should assert it is not 0).
  uint16_t command_port() const { return port_; }

  // Queues an answer for the next request not yet answered.
  void ScriptNext(Script script);
  void ScriptNext(Answer answer) { ScriptNext(Script{answer, station::ENUM_ERROR_UNKNOW, 0}); }

  // Every request received so far, in arrival order (including unanswered ones).
  std::vector<station::SupplyMaterialReq> Requests() const;
  // Waits (polling, up to `bound`) until at least `count` requests arrived.
  bool WaitForRequests(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
  // Number of command connections accepted so far.
  int Connections() const { return connections_.load(); }

  // Closes the current command connection (the listener stays open).
  void CloseCommandConnection();
  // Closes the listener and any connection: the board is "down" (connects are refused).
  void StopListening();

  // Opens the report connection to 127.0.0.1:`port`, retrying until `bound`.
  bool ConnectReports(uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(5));
  bool SendReport(const station::SensorsDataRep& report);  // one frame in one write
  bool SendRaw(const std::string& bytes);                   // bytes as given, one write
  void CloseReports();

 private:
  void ServeLoop();
  // False when the connection is to be closed instead of answered.
  bool HandleRequest(int fd, const station::SupplyMaterialReq& req);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> close_requested_{0};
  std::thread thread_;

  mutable std::mutex mutex_;
  std::deque<Script> scripts_;
  std::vector<station::SupplyMaterialReq> requests_;

  std::mutex report_mutex_;
  int report_fd_ = -1;
};

}  // namespace station_test
