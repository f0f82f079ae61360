// The board link against a fake board over loopback: command exchanges, the
// report stream, and the simulated board's model where only its reports show it.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "sim_process.h"
#include "support/fake_board.h"

namespace station_center {
namespace {

using station_test::Action;
using station_test::FakeBoard;
using station_test::Frame;
using A = FakeBoard::Answer;
using SteadyClock = std::chrono::steady_clock;

// Detached server threads use these until the process ends: never destroyed.
auto* const kept = new std::vector<std::shared_ptr<void>>();
template <typename T, typename... Args>
T& Keep(Args&&... args) {
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  kept->push_back(object);
  return *object;
}

template <typename Pred>
bool WaitUntil(Pred pred) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  bool met = false;
  while (!(met = pred()) && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return met;
}

int64_t MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

station::SupplyMaterialReq Request(int32_t seq, station::EnumSupplyType type, int32_t action) {
  station::SupplyMaterialReq req;
  req.set_seq_(seq);
  *req.mutable_cmd_() = Action(type, action);
  return req;
}

class BoardLink : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(board_.command_port(), 0);
    config_reader.embedded_ip = config_reader.soc_ip = "127.0.0.1";
    config_reader.embedded_action_port = board_.command_port();
    config_reader.soc_data_server_port = station_test::PickFreeLoopbackPort();
    config_reader.bottom_action_timeout = 1;
    ASSERT_TRUE(comm_.Init([](const station::SensorsDataRep&) {}));
  }
  FakeBoard board_;
  EmbeddedCommunicator& comm_ = Keep<EmbeddedCommunicator>();
};

// Whatever the board answers, the exchange ends within its 1 s time-out with
// the right result, and the next command goes through whole.
struct Exchange {
  const char* name;
  FakeBoard::Script script;
  bool confirmed;
  int64_t min_ms, max_ms;
  int new_connections;
};
const Exchange kExchanges[] = {
    {"right reply", {A::kSuccess}, true, 0, 900, 0},
    {"stale error reply, then the right one", {A::kStaleThenSuccess}, true, 0, 900, 0},
    {"right reply after 600 ms", {A::kSuccess, station::ENUM_ERROR_UNKNOW, 600}, true, 550, 1000, 0},
    {"right reply split over two writes", {A::kSplit}, true, 0, 900, 0},
    {"error answer", {A::kError}, false, 0, 900, 0},
    {"garbage", {A::kGarbage}, false, 0, 900, 0},
    {"oversized prefix", {A::kOversized}, false, 0, 900, 0},
    {"silent", {A::kSilent}, false, 950, 1250, 0},
    {"connection closed", {A::kClose}, false, 0, 1250, 1},
};

TEST_F(BoardLink, EveryAnswerEndsTheExchangeInTimeAndTheNextCommandGoesThrough) {
  for (const Exchange& row : kExchanges) {
    SCOPED_TRACE(row.name);
    const int connections = board_.Connections();
    const size_t requests = board_.Requests().size();
    board_.ScriptNext(row.script);
    const auto start = SteadyClock::now();
    EXPECT_EQ(comm_.DoAction(Action(station::ENUM_SUPPLY_HEATING_FAN, 1)), row.confirmed);
    EXPECT_GE(MsSince(start), row.min_ms);
    EXPECT_LE(MsSince(start), row.max_ms);
    EXPECT_TRUE(comm_.DoAction(Action(station::ENUM_SUPPLY_HEATING_FAN, 0)));
    const auto sent = board_.Requests();
    ASSERT_EQ(sent.size(), requests + 2);
    EXPECT_EQ(sent.back().cmd_().action_(), 0);
    EXPECT_EQ(board_.Connections() - connections, row.new_connections);
  }
}

TEST_F(BoardLink, CommandsCarryTheirFieldsAndIdsNeverRepeatWithinASecond) {
  FreezeClock(1700000000);
  EXPECT_TRUE(comm_.DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_TRUE(comm_.ChangeLed(station::LED_SUPPLYING));
  EXPECT_TRUE(comm_.ChangeLed(station::LED_NORMAL_WORK));
  AdvanceClock(10);  // past the last id: the id is the time again
  EXPECT_TRUE(comm_.DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0)));
  const auto sent = board_.Requests();
  ASSERT_EQ(sent.size(), 4u);
  std::vector<int32_t> ids;
  for (const auto& req : sent) ids.push_back(req.seq_());
  EXPECT_EQ(ids, (std::vector<int32_t>{1700000000, 1700000001, 1700000002, 1700000010}));
  EXPECT_EQ(sent[0].cmd_().supply_type_(), station::ENUM_SUPPLY_TAP_WATER_SWITCH);
  EXPECT_EQ(sent[0].cmd_().action_(), 1);
  EXPECT_FALSE(sent[0].has_change_led_());
  EXPECT_FALSE(sent[1].has_cmd_());
  EXPECT_EQ(sent[1].change_led_().led_cmd_(), station::LED_SUPPLYING);
}

TEST_F(BoardLink, LateReplyToAFailedExchangeIsNeverTakenForTheNext) {
  FreezeClock(1700000000);  // both exchanges in one second
  board_.ScriptNext({A::kError, station::ENUM_ERROR_UNKNOW, 1300});
  EXPECT_FALSE(comm_.DoAction(Action(station::ENUM_SUPPLY_COLLECT_DUST, 1)));
  // The late error for the first id arrives while the second waits.
  EXPECT_TRUE(comm_.DoAction(Action(station::ENUM_SUPPLY_COLLECT_DUST, 0)));
}

TEST_F(BoardLink, ConcurrentCallersGetWholeExchanges) {
  std::atomic<int> confirmed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) confirmed += comm_.DoAction(Action(station::ENUM_SUPPLY_PERFUME_PUMP, t * 100 + i));
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(confirmed.load(), 40);
  std::set<int32_t> ids, actions;
  for (const auto& req : board_.Requests()) {
    ids.insert(req.seq_());
    actions.insert(req.cmd_().action_());
  }
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(actions.size(), 40u);
}

// A board that is down refuses the connect; one off the network never answers
// it: either way the exchange ends at its time-out.
TEST_F(BoardLink, BoardDownOrOffTheNetworkFailsAtTheTimeOut) {
  board_.StopListening();
  auto start = SteadyClock::now();
  EXPECT_FALSE(comm_.DoAction(Action(station::ENUM_SUPPLY_CHARGING, 1)));
  EXPECT_LE(MsSince(start), 1250);
  station_test::UnansweredPort unanswered;
  ASSERT_NE(unanswered.port(), 0);
  station::SupplyMaterialRsp rsp;
  start = SteadyClock::now();
  EXPECT_FALSE(comm_.BottomReqNeedResp(std::make_shared<TcpClient>("127.0.0.1", unanswered.port()),
                                       Request(11, station::ENUM_SUPPLY_CHARGING, 1), rsp, 1));
  EXPECT_GE(MsSince(start), 950);
  EXPECT_LE(MsSince(start), 1250) << "the reconnect overran the exchange time-out";
}

TEST(TcpLink, FirstSendConnectsAndASendToAVanishedPeerRaisesNoSigpipe) {
  FakeBoard board;
  board.ScriptNext(A::kClose);
  TcpClient client("127.0.0.1", board.command_port());
  const std::string frame = Frame(Request(7, station::ENUM_SUPPLY_UV_LAMP, 1));
  ASSERT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));  // no Init: the send connects
  ASSERT_TRUE(board.WaitForRequests(1));
  EXPECT_EQ(board.Requests()[0].seq_(), 7);
  // Straight on the closed descriptor until the kernel reports the reset: a
  // broken-pipe signal would end this process.
  const std::string chunk(64 * 1024, 'x');
  EXPECT_TRUE(WaitUntil([&] { return !client.SendData(client.fd(), chunk.data(), static_cast<int>(chunk.size())); }));
  ASSERT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));
  ASSERT_TRUE(board.WaitForRequests(2));
  EXPECT_EQ(board.Connections(), 2);
}

// The report stream: what reaches the callback, frame for frame, for what the
// board writes (each write a read of its own).
station::SensorsDataRep Report(uint32_t seq) {
  station::SensorsDataRep report;
  report.set_seq(seq);
  report.set_flowmeter(seq * 10);
  return report;
}

std::string Frames(uint32_t from, uint32_t to) {
  std::string frames;
  for (uint32_t seq = from; seq <= to; ++seq) frames += Frame(Report(seq));
  return frames;
}

struct Sink {
  std::mutex mutex;
  std::string frames;  // every report received, framed again
  std::string Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
  }
};

uint16_t StartReportServer(Sink& sink) {
  config_reader.embedded_ip = "127.0.0.1";
  const uint16_t port = station_test::PickFreeLoopbackPort();
  Keep<DataUploadServer>("127.0.0.1", port, 1, [&sink](const station::SensorsDataRep& report) {
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.frames += Frame(report);
  }).Init();
  return port;
}

struct Stream {
  const char* name;
  size_t cache;
  std::vector<std::string> writes;
  std::string delivered;
};

TEST(ReportStream, EveryFrameArrivesWholeAndBadBytesCostOnlyWhatIsHeld) {
  station::SensorsDataRep full = Report(42);
  full.set_cleantankuplevel(1);
  full.set_robotdockdetleft(1);
  full.set_heatingwiretemp(61.5f);
  full.set_negativepressure(-1200);
  full.set_flowmeter(4000000000u);
  full.set_selfcheckstate(true);
  full.set_perfumeliquiddet(true);
  const std::string seven = Frame(Report(7));
  const Stream rows[] = {
      {"every field", 4096, {Frame(full)}, Frame(full)},
      {"split frame", 4096, {seven.substr(0, 3), seven.substr(3)}, seven},
      {"burst", 4096, {Frames(1, 20)}, Frames(1, 20)},
      {"frames larger than one read", 64, {Frames(1, 50)}, Frames(1, 50)},
      {"undecodable body", 256, {Frames(1, 1) + std::string("\x04\x00\xff\xff\xff\xff", 6), Frames(2, 2)}, Frames(1, 2)},
      {"prefix beyond the buffer", 256, {std::string("\xff\x7f\x08\x01\x10\x01", 6), Frames(2, 2)}, Frames(2, 2)},
      {"prefix just beyond the buffer", 256, {std::string("\xff\x00\x08\x01", 4), Frames(2, 2)}, Frames(2, 2)},
  };
  for (const Stream& row : rows) {
    SCOPED_TRACE(row.name);
    config_reader.data_upload_server_cache_size = row.cache;
    Sink& sink = Keep<Sink>();
    FakeBoard& board = Keep<FakeBoard>();
    ASSERT_TRUE(board.ConnectReports(StartReportServer(sink)));
    for (const std::string& bytes : row.writes) {
      ASSERT_TRUE(board.SendRaw(bytes));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(WaitUntil([&] { return sink.Get().size() >= row.delivered.size(); }));
    EXPECT_EQ(sink.Get(), row.delivered);
  }
}

// Reports decide what the actuators do: a peer other than the board is closed
// unread, and of the board's connections only the newest is served.
bool StrangerRefused(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local{}, server{};
  local.sin_family = server.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.2", &local.sin_addr);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      !WaitUntil([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)) == 0; })) {
    ::close(fd);
    return false;
  }
  const std::string forged = Frame(Report(99));
  pollfd pfd{fd, POLLIN, 0};
  char byte = 0;
  (void)::send(fd, forged.data(), forged.size(), MSG_NOSIGNAL);  // fails when the close came first
  const bool closed = ::poll(&pfd, 1, 10000) == 1 && ::read(fd, &byte, 1) <= 0;
  ::close(fd);
  return closed;
}

TEST(ReportStream, OnlyTheBoardsNewestConnectionIsServed) {
  config_reader.data_upload_server_cache_size = 4096;
  Sink& sink = Keep<Sink>();
  const uint16_t port = StartReportServer(sink);
  FakeBoard &board = Keep<FakeBoard>(), &restarted = Keep<FakeBoard>();
  auto got = [&](uint32_t count) { return WaitUntil([&] { return sink.Get().size() >= Frames(1, count).size(); }); };
  EXPECT_TRUE(StrangerRefused(port));
  ASSERT_TRUE(board.ConnectReports(port) && board.SendReport(Report(1)) && got(1));
  board.CloseReports();  // gone and back: the next connection is accepted
  ASSERT_TRUE(board.ConnectReports(port) && board.SendReport(Report(2)) && got(2));
  // A restarted board opens a new connection while the old one still stands.
  ASSERT_TRUE(restarted.ConnectReports(port) && restarted.SendReport(Report(3)) && got(3));
  board.SendReport(Report(4));
  EXPECT_TRUE(StrangerRefused(port));
  ASSERT_TRUE(restarted.SendReport(Report(5)) && got(4));
  EXPECT_EQ(sink.Get(), Frames(1, 3) + Frames(5, 5));
}

TEST(ReportStream, AnAddressThatCannotBeBoundEndsTheProcessWith255) {
  // The threadsafe style re-executes the test program, which under an emulator
  // only the emulator can start; there it forks.
  if (station_test::TestEmulator() == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The station's other threads still run then: no exit handler may run under them.
  EXPECT_EXIT(
      {
        std::atexit([] { std::fputs("exit handlers ran\n", stderr); });
        DataUploadServer("not-an-address", 1, 1, [](const station::SensorsDataRep&) {}).Start();
      },
      testing::ExitedWithCode(255), testing::Not(testing::HasSubstr("exit handlers ran")));
}

// The simulated board's model where no service test looks: steps are a command
// through the link ("do TYPE VALUE"), a report field's value ("expect FIELD V")
// or a line for its control channel.
struct SimRow {
  const char* name;
  std::vector<std::string> args, steps;
};

TEST(SimulatedBoard, ModelShowsInItsReports) {
  const SimRow rows[] = {
      {"flow meter counts from the last tap opening, the tank stops at full",
       {"--capacity", "500", "--fill-rate", "100"},
       {"do TAP_WATER_SWITCH 1", "advance 2000", "expect flowMeter 200", "advance 4000", "expect flowMeter 600",
        "expect cleanTankUpLevel 1", "do TAP_WATER_SWITCH 0", "level 100", "do TAP_WATER_SWITCH 1",
        "expect flowMeter 0", "advance 500", "expect flowMeter 50"}},
      {"heating wire warms while on and cools towards the ambient",
       {"--heat-rate", "2", "--cool-rate", "1", "--ambient", "25"},
       {"do HEATING_WIRE 1", "advance 10000", "expect heatingWireTemp 45", "do HEATING_WIRE 0", "advance 5000",
        "expect heatingWireTemp 40", "advance 100000", "expect heatingWireTemp 25"}},
  };
  for (const SimRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto& sim = Keep<station_test::SimProcess>();
    std::vector<std::string> args = {"--manual-clock", "--report-rate", "0", "--report-port", "1"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ASSERT_TRUE(sim.Start(args));
    auto client = std::make_shared<TcpClient>("127.0.0.1", sim.command_port());
    int32_t seq = 0;
    for (const std::string& step : row.steps) {
      SCOPED_TRACE(step);
      char word[64] = {};
      double value = 0;
      if (std::sscanf(step.c_str(), "do %63s %lf", word, &value) == 2) {
        station::EnumSupplyType type{};
        ASSERT_TRUE(station::EnumSupplyType_Parse(std::string("ENUM_SUPPLY_") + word, &type));
        station::SupplyMaterialRsp rsp;
        EXPECT_TRUE(Keep<EmbeddedCommunicator>().BottomReqNeedResp(client, Request(++seq, type, static_cast<int32_t>(value)), rsp, 1));
      } else if (std::sscanf(step.c_str(), "expect %63s %lf", word, &value) == 2) {
        rapidjson::Document report;
        report.Parse(sim.Command("report").c_str());
        ASSERT_TRUE(report.IsObject() && report.HasMember(word));
        EXPECT_DOUBLE_EQ(report[word].GetDouble(), value);
      } else {
        EXPECT_EQ(sim.Command(step), "ok");
      }
    }
  }
}

}  // namespace
}  // namespace station_center
