// The board link against a fake board over loopback: command exchanges and the
// report stream; and the board's frames written out byte by byte, so that a
// fault shared by the station's encoder and decoder cannot hide.
#include <gmock/gmock.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <set>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "support/process.h"
#include "support/service_rig.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using station_test::FakeBoard;
using station_test::Frame;
using station_test::SendAll;
using station_test::WaitFor;
using A = FakeBoard::Answer;
using Steady = std::chrono::steady_clock;
constexpr auto kFan = station::ENUM_SUPPLY_HEATING_FAN, kTap = station::ENUM_SUPPLY_TAP_WATER_SWITCH;

auto* const kept = new std::vector<std::shared_ptr<void>>();  // used by detached threads: never destroyed
template <typename T, typename... Args> T& Keep(Args&&... args) {
  return *std::static_pointer_cast<T>(kept->emplace_back(std::make_shared<T>(std::forward<Args>(args)...)));
}

auto MsSince(Steady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

station::SupplyMaterialReq Request(int32_t seq, int32_t action, station::EnumSupplyType type = kFan) {
  station::SupplyMaterialReq req;
  req.set_seq_(seq), req.mutable_cmd_()->set_supply_type_(type), req.mutable_cmd_()->set_action_(action);
  return req;
}
station::ActionCommand Action(station::EnumSupplyType type, int32_t action) { return Request(0, action, type).cmd_(); }

std::string Bytes(std::initializer_list<unsigned> values) { return std::string(values.begin(), values.end()); }

auto Within(int64_t min_ms, int64_t max_ms) { return testing::AllOf(testing::Ge(min_ms), testing::Le(max_ms)); }

class BoardLink : public testing::Test {
 protected:
  void SetUp() override {
    config_reader.embedded_ip = config_reader.soc_ip = "127.0.0.1";
    config_reader.embedded_action_port = board_.command_port();
    config_reader.soc_data_server_port = station_test::PickFreeLoopbackPort();
    config_reader.bottom_action_timeout = 1;
    ASSERT_TRUE(board_.command_port() != 0 && comm_.Init([](const station::SensorsDataRep&) {}));
  }
  FakeBoard board_;
  EmbeddedCommunicator& comm_ = Keep<EmbeddedCommunicator>();
};

// Whatever the board answers, the exchange ends within its 1 s time-out with
// the right result, and the next command goes through whole. The clock stands
// still, so a late reply carries an id one below the next exchange's.
TEST_F(BoardLink, EveryAnswerEndsTheExchangeInTimeAndTheNextCommandGoesThrough) {
  FreezeClock(1700000000);
  struct Row { const char* name; FakeBoard::Script script; bool confirmed; int64_t min_ms, max_ms; int reconnects; };
  for (const Row& row : {Row{"stale error reply, then the right one", {A::kStaleThenSuccess}, true, 0, 900, 0},
                         Row{"right reply after 600 ms", {A::kSuccess, 600}, true, 550, 1000, 0},
                         Row{"right reply in two writes", {A::kSplit}, true, 0, 900, 0},
                         Row{"error answer", {A::kError}, false, 0, 900, 0},
                         Row{"error answer after the time-out", {A::kError, 1300}, false, 950, 1250, 0},
                         Row{"garbage", {A::kGarbage}, false, 0, 900, 0},
                         Row{"oversized prefix", {A::kOversized}, false, 0, 900, 0},
                         Row{"silent", {A::kSilent}, false, 950, 1250, 0},
                         Row{"connection closed", {A::kClose}, false, 0, 1250, 1}}) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(comm_.DoAction(Action(kFan, 0)));  // the connection is accepted before it is counted
    const int connections = board_.Connections();
    const size_t requests = board_.Requests().size();
    board_.ScriptNext(row.script);
    const auto start = Steady::now();
    EXPECT_EQ(comm_.DoAction(Action(kFan, 1)), row.confirmed);
    EXPECT_THAT(MsSince(start), Within(row.min_ms, row.max_ms));
    EXPECT_TRUE(comm_.DoAction(Action(kFan, 0)));
    EXPECT_TRUE(board_.Requests().size() == requests + 2 && board_.Requests().back().cmd_().action_() == 0);
    EXPECT_EQ(board_.Connections() - connections, row.reconnects);
  }
}

// Ids are the time, one up where the last one is not yet behind: many callers
// within one second each get a whole exchange of their own under an id of its own.
TEST_F(BoardLink, ConcurrentCallersGetWholeExchangesUnderUniqueIdsAndCommandsCarryTheirFields) {
  FreezeClock(1700000000);
  std::atomic<int> confirmed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 40; t += 10)
    callers.emplace_back([&, t] { for (int i = t; i < t + 10; ++i) confirmed += comm_.DoAction(Action(kFan, i)); });
  for (auto& caller : callers) caller.join();
  EXPECT_TRUE(comm_.ChangeLed(station::LED_SUPPLYING));
  AdvanceClock(50);  // past the last id: the id is the time again
  EXPECT_TRUE(comm_.DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)) && comm_.DoAction(Action(kTap, 0)));
  std::set<int32_t> ids, actions;
  for (const auto& req : board_.Requests()) ids.insert(req.seq_()), actions.insert(req.cmd_().action_());
  ASSERT_EQ(std::make_tuple(confirmed.load(), ids.size(), actions.size()), std::make_tuple(40, size_t{43}, size_t{40}));
  // The last three as they went on the wire, written out by hand (an action of 0 is left out).
  const std::vector<std::string> wire = board_.Wire(), expected = {
      Bytes({0x0A, 0x00, 0x08, 0xA8, 0xE2, 0xCF, 0xAA, 0x06, 0x1A, 0x02, 0x08, 0x09}),  // LED_SUPPLYING
      Bytes({0x0C, 0x00, 0x08, 0xB2, 0xE2, 0xCF, 0xAA, 0x06, 0x12, 0x04, 0x08, 0x01, 0x10, 0x0D}),  // drainage 1
      Bytes({0x0A, 0x00, 0x08, 0xB3, 0xE2, 0xCF, 0xAA, 0x06, 0x12, 0x02, 0x10, 0x01})};  // tap 0
  EXPECT_EQ(std::vector<std::string>(wire.begin() + 40, wire.end()), expected);
}

// A board that is down refuses the connect; one off the network (a full accept
// queue) never answers it: either way the exchange ends at its time-out.
TEST_F(BoardLink, BoardDownOrOffTheNetworkFailsAtTheTimeOut) {
  board_.StopListening();
  auto start = Steady::now();
  EXPECT_FALSE(comm_.DoAction(Action(kFan, 1)));
  EXPECT_LE(MsSince(start), 1250);
  uint16_t port = 0;
  // A queue of length 0 holds one connection, the filler's: a board off the network answers no connect.
  const int listener = station_test::ListenOnLoopback(&port, 0), filler = station_test::ConnectLoopback(port);
  station::SupplyMaterialRsp rsp;
  start = Steady::now();
  EXPECT_FALSE(comm_.BottomReqNeedResp(std::make_shared<TcpClient>("127.0.0.1", port), Request(11, 1), rsp, 1));
  EXPECT_THAT(MsSince(start), Within(950, 1250)) << "the connect overran the exchange time-out";
  EXPECT_EQ(close(filler) + close(listener), 0);
}

TEST(TcpLink, FirstSendConnectsAndASendToAVanishedPeerRaisesNoSigpipe) {
  FakeBoard board;
  board.ScriptNext({A::kClose});
  TcpClient client("127.0.0.1", board.command_port());
  const std::string frame = Frame(Request(7, 1)), chunk(64 * 1024, 'x');
  auto requests = [&board](size_t n) { return WaitFor([&] { return board.Requests().size() >= n; }); };
  ASSERT_TRUE(client.Send(frame.data(), int(frame.size())) && requests(1));  // no Init: it connects
  // On the closed descriptor until the kernel reports the reset: SIGPIPE would end this process.
  EXPECT_TRUE(WaitFor([&] { return !client.SendData(client.fd(), chunk.data(), int(chunk.size())); }));
  EXPECT_TRUE(client.Send(frame.data(), int(frame.size())) && requests(2) && board.Connections() == 2);
}

// The report stream: what reaches the callback, framed again, for what the board writes.
std::string Frames(uint32_t from, uint32_t to) {
  std::string frames;
  station::SensorsDataRep report;
  for (uint32_t seq = from; seq <= to; ++seq) report.set_seq(seq), report.set_flowmeter(seq), frames += Frame(report);
  return frames;
}

// A report server on a free port whose callback frames every report again.
struct Reports {
  explicit Reports(size_t cache) {
    config_reader.embedded_ip = "127.0.0.1", config_reader.data_upload_server_cache_size = cache;
    Keep<DataUploadServer>("127.0.0.1", port, 1, [this](const station::SensorsDataRep& report) {
      std::lock_guard<std::mutex> lock(mutex);
      frames += Frame(report);
    }).Init();
  }
  std::string Got() { std::lock_guard<std::mutex> lock(mutex); return frames; }
  bool Has(const std::string& expected) {  // exactly these frames, once as many bytes have come
    return WaitFor([&] { return Got().size() >= expected.size(); }, std::chrono::seconds(10)) && Got() == expected;
  }
  // The board's side of a report connection. Each report goes out at once: nothing answers on
  // it, so a report held back for an ACK would wait out the server's delayed ACK.
  int Connect(const char* from = nullptr) const {
    int fd = -1, one = 1;
    WaitFor([&] { return (fd = station_test::ConnectLoopback(port, from)) >= 0; });
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)), fd;
  }
  const uint16_t port = station_test::PickFreeLoopbackPort();
  std::mutex mutex;
  std::string frames;
};

TEST(ReportStream, EveryFrameArrivesWholeAndBadBytesCostOnlyWhatIsHeld) {
  const std::string wire = Bytes({
      36, 0x00,                                                                // length
      0x08, 0x07, 0x10, 0x01,                                                  // 1 seq = 7, 2 cleanTankUpLevel = 1
      0x6D, 0x00, 0x00, 0x2A, 0x42,                                            // 13 heatingWireTemp = 42.5f
      0x78, 0x80, 0xD0, 0xAC, 0xF3, 0x0E,                                      // 15 flowMeter = 4000000000
      0x88, 0x01, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,  // 17 negativePressure = -5
      0xBD, 0x01, 0x00, 0x00, 0x44, 0x41,                                      // 23 chargerVoltage = 12.25f
      0x80, 0x02, 0x01,                                                        // 32 perfumeLiquidDet = true
  });
  station::SensorsDataRep all;  // what those bytes say, field by field
  all.set_seq(7), all.set_cleantankuplevel(1), all.set_heatingwiretemp(42.5f), all.set_flowmeter(4000000000u);
  all.set_negativepressure(-5), all.set_chargervoltage(12.25f), all.set_perfumeliquiddet(true);
  // An empty report is a frame of its prefix alone: every field at its default.
  const std::string one = Frames(1, 1), two = Frames(2, 2), empty(2, '\0');
  struct Row { const char* name; size_t cache; std::vector<std::string> reads; std::string delivered; };
  for (const Row& row : {Row{"every field as the board writes it, filling the buffer", wire.size(), {wire}, Frame(all)},
                         Row{"empty and split frames", 4096, {empty + one.substr(0, 3), one.substr(3)}, empty + one},
                         Row{"frames larger than one read, several to a read", 64, {Frames(1, 50)}, Frames(1, 50)},
                         Row{"undecodable body", 256, {one + std::string("\x04\0\xff\xff\xff\xff", 6), two}, one + two},
                         Row{"prefix just beyond", 256, {std::string("\xff\x00\x08\x01", 4), two}, two}}) {
    SCOPED_TRACE(row.name);
    Reports& sink = Keep<Reports>(row.cache);
    const int board = sink.Connect();
    for (const std::string& bytes : row.reads) EXPECT_TRUE(SendAll(board, bytes) && usleep(200000) == 0);
    EXPECT_TRUE(sink.Has(row.delivered));
    ::close(board);
  }
}

// Reports decide what the actuators do: a peer other than the board is closed
// unread, and of the board's connections only the newest is served.
TEST(ReportStream, OnlyTheBoardsNewestConnectionIsServed) {
  Reports& sink = Keep<Reports>(4096);
  int board = sink.Connect();
  ASSERT_TRUE(SendAll(board, Frames(1, 1)) && sink.Has(Frames(1, 1)));
  ::close(board);  // gone and back: the next connection is accepted
  board = sink.Connect();
  ASSERT_TRUE(SendAll(board, Frames(2, 2)) && sink.Has(Frames(1, 2)));
  // A restarted board opens a new connection while the old one still stands.
  const int restarted = sink.Connect();
  ASSERT_TRUE(SendAll(restarted, Frames(3, 3)) && sink.Has(Frames(1, 3)));
  SendAll(board, Frames(4, 4));
  const int stranger = sink.Connect("127.0.0.2");
  pollfd pfd{stranger, POLLIN, 0};
  char byte = 0;
  EXPECT_TRUE(SendAll(stranger, Frames(99, 99)) && ::poll(&pfd, 1, 10000) == 1 && ::read(stranger, &byte, 1) <= 0);
  EXPECT_TRUE(SendAll(restarted, Frames(5, 5)) && sink.Has(Frames(1, 3) + Frames(5, 5)));
}

TEST(ReportStream, AnAddressThatCannotBeBoundEndsTheProcessWith255) {
  // Threadsafe re-executes the test program, which under an emulator only the emulator can start.
  if (station_test::TestEmulator() == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The station's other threads still run then: no exit handler may run under them.
  EXPECT_EXIT((std::atexit([] { std::fputs("exit handlers ran\n", stderr); }),
               DataUploadServer("not-an-address", 1, 1, [](const station::SensorsDataRep&) {}).Start()),
              testing::ExitedWithCode(255), testing::Not(testing::HasSubstr("exit handlers ran")));
}

}  // namespace
}  // namespace station_center
