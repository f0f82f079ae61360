#include "bottom/data_upload_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "support/fake_board.h"
#include "support/mosquitto_broker.h"
#include "support/spawn.h"

namespace station_center {
namespace {

using station_test::FakeBoard;
using station_test::Frame;

// The server thread is detached and uses the server and the callback's sink
// until the process ends; each test runs in its own process, so both are
// deliberately never destroyed.
struct Sink {
  std::mutex mutex;
  std::vector<station::SensorsDataRep> received;
};
auto* const kept_alive = new std::vector<std::shared_ptr<DataUploadServer>>();
Sink* const sink = new Sink();
// The boards too: closing a report connection while the process exits would
// have the server thread log into a logger that is being destroyed.
auto* const boards = new std::vector<std::unique_ptr<FakeBoard>>();

station::SensorsDataRep Report(uint32_t seq) {
  station::SensorsDataRep report;
  report.set_seq(seq);
  report.set_flowmeter(seq * 10);
  return report;
}

class DataUploadServerTest : public testing::Test {
 protected:
  void SetUp() override {
    config_reader.data_upload_server_cache_size = 4096;
    config_reader.debug = false;
    config_reader.embedded_ip = "127.0.0.1";
    port_ = station_test::PickFreeLoopbackPort();
    ASSERT_NE(port_, 0);
  }

  void StartServer() {
    kept_alive->push_back(std::make_shared<DataUploadServer>("127.0.0.1", port_, 1, [](const station::SensorsDataRep& r) {
      std::lock_guard<std::mutex> lock(sink->mutex);
      sink->received.push_back(r);
    }));
    kept_alive->back()->Init();
    ASSERT_TRUE(board_.ConnectReports(port_));
  }

  std::vector<station::SensorsDataRep> Received() {
    std::lock_guard<std::mutex> lock(sink->mutex);
    return sink->received;
  }

  // Polls until `count` reports reached the callback (generous bound).
  bool WaitFor(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Received().size() >= count) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::vector<uint32_t> Seqs() {
    std::vector<uint32_t> seqs;
    for (const auto& r : Received()) {
      seqs.push_back(r.seq());
    }
    return seqs;
  }

  uint16_t port_ = 0;
  FakeBoard& board_ = *boards->emplace_back(std::make_unique<FakeBoard>());
};

TEST_F(DataUploadServerTest, ReportReachesTheCallbackWithEveryField) {
  StartServer();
  station::SensorsDataRep sent;
  sent.set_seq(42);
  sent.set_cleantankuplevel(1);
  sent.set_robotdockdetleft(1);
  sent.set_robotdockdetright(1);
  sent.set_heatingwiretemp(61.5f);
  sent.set_negativepressure(-1200);
  sent.set_flowmeter(4000000000u);
  sent.set_selfcheckstate(true);
  sent.set_perfumeliquiddet(true);
  ASSERT_TRUE(board_.SendReport(sent));
  ASSERT_TRUE(WaitFor(1));
  EXPECT_EQ(Received()[0].SerializeAsString(), sent.SerializeAsString());
}

TEST_F(DataUploadServerTest, FrameSplitOverTwoReadsIsCompleted) {
  StartServer();
  const std::string frame = Frame(Report(7));
  ASSERT_TRUE(board_.SendRaw(frame.substr(0, 3)));
  // Let the server take the first part in a read of its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(board_.SendRaw(frame.substr(3)));
  ASSERT_TRUE(WaitFor(1));
  EXPECT_EQ(Seqs(), std::vector<uint32_t>({7}));
}

TEST_F(DataUploadServerTest, SeveralFramesInOneWriteAreAllDelivered) {
  StartServer();
  std::string burst;
  for (uint32_t seq = 1; seq <= 20; ++seq) {
    burst += Frame(Report(seq));
  }
  ASSERT_TRUE(board_.SendRaw(burst));
  ASSERT_TRUE(WaitFor(20));
  std::vector<uint32_t> expected;
  for (uint32_t seq = 1; seq <= 20; ++seq) {
    expected.push_back(seq);
  }
  EXPECT_EQ(Seqs(), expected);
}

TEST_F(DataUploadServerTest, FramesLargerThanOneReadAreDeliveredInOrder) {
  config_reader.data_upload_server_cache_size = 64;  // a few frames a read
  StartServer();
  std::string burst;
  for (uint32_t seq = 1; seq <= 50; ++seq) {
    burst += Frame(Report(seq));
  }
  ASSERT_TRUE(board_.SendRaw(burst));
  ASSERT_TRUE(WaitFor(50));
  EXPECT_EQ(Seqs().size(), 50u);
  EXPECT_EQ(Seqs().back(), 50u);
}

// A broken stream costs the bytes held at that moment, never the connection.
struct BadBytesCase {
  const char* name;
  std::string bytes;
};

class DataUploadServerBadBytesTest : public DataUploadServerTest, public testing::WithParamInterface<BadBytesCase> {};

TEST_P(DataUploadServerBadBytesTest, AreDroppedWithOneErrorAndTheConnectionStaysUp) {
  config_reader.data_upload_server_cache_size = 256;
  StartServer();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(board_.SendRaw(GetParam().bytes));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a read of its own
  ASSERT_TRUE(board_.SendReport(Report(9)));
  ASSERT_TRUE(WaitFor(1));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Seqs(), std::vector<uint32_t>({9}));
  const std::string line = "ErrorCode: 101900012, Deserialize CleanRobotReport error";
  const size_t first = out.find(line);
  EXPECT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(line, first + 1), std::string::npos) << "one error line per broken read";
  EXPECT_EQ(out.find("The connection has been disconnected"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, DataUploadServerBadBytesTest,
    testing::Values(BadBytesCase{"UndecodableBody", std::string("\x04\x00\xff\xff\xff\xff", 6)},
                    BadBytesCase{"PrefixBeyondTheBuffer", std::string("\xff\x7f\x08\x01\x10\x01", 6)},
                    BadBytesCase{"PrefixJustBeyondTheBuffer", std::string("\xff\x00\x08\x01", 4)}),
    [](const testing::TestParamInfo<BadBytesCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(DataUploadServerTest, DisconnectEndsTheConnectionAndTheNextBoardIsAccepted) {
  StartServer();
  ASSERT_TRUE(board_.SendReport(Report(1)));
  ASSERT_TRUE(WaitFor(1));
  testing::internal::CaptureStdout();
  board_.CloseReports();
  ASSERT_TRUE(board_.ConnectReports(port_));
  ASSERT_TRUE(board_.SendReport(Report(2)));
  ASSERT_TRUE(WaitFor(2));
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t shutdown = out.find("ErrorCode: 101900008, TcpSocket::RecvData connect shutdown");
  const size_t disconnected = out.find("The connection has been disconnected");
  const size_t accepted = out.find("Accept a connection, ip : 127.0.0.1, port : ");
  ASSERT_NE(shutdown, std::string::npos) << out;
  ASSERT_NE(disconnected, std::string::npos) << out;
  ASSERT_NE(accepted, std::string::npos) << out;
  EXPECT_LT(shutdown, disconnected);
  EXPECT_LT(disconnected, accepted);
  EXPECT_EQ(Seqs(), std::vector<uint32_t>({1, 2}));
}

// A board that restarts opens a new report connection without closing the old
// one (its end died with it): the new one is served at once, the old one no more.
TEST_F(DataUploadServerTest, RestartedBoardIsServedOnItsNewConnection) {
  StartServer();
  ASSERT_TRUE(board_.SendReport(Report(1)));
  ASSERT_TRUE(WaitFor(1));
  FakeBoard& restarted = *boards->emplace_back(std::make_unique<FakeBoard>());
  ASSERT_TRUE(restarted.ConnectReports(port_));
  ASSERT_TRUE(restarted.SendReport(Report(2)));
  ASSERT_TRUE(WaitFor(2));
  (void)board_.SendReport(Report(3));  // on the old connection, which is closed
  ASSERT_TRUE(restarted.SendReport(Report(4)));
  ASSERT_TRUE(WaitFor(3));
  EXPECT_EQ(Seqs(), std::vector<uint32_t>({1, 2, 4}));
}

// Opens a report connection from `local_ip` (any 127.x address is loopback).
int ConnectFrom(const char* local_ip, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, local_ip, &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    return -1;
  }
  return fd;
}

// Whether the server closed `fd` (end of stream or reset) within a generous bound.
bool ClosedByServer(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  char byte = 0;
  return ::poll(&pfd, 1, 10000) == 1 && ::read(fd, &byte, 1) <= 0;
}

// Reports decide what the actuators do: a peer other than the board is closed
// unread, whether the board is connected or not, and the board is served on.
TEST_F(DataUploadServerTest, PeerOtherThanTheBoardIsClosedUnread) {
  kept_alive->push_back(std::make_shared<DataUploadServer>("127.0.0.1", port_, 1, [](const station::SensorsDataRep& r) {
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->received.push_back(r);
  }));
  kept_alive->back()->Init();
  testing::internal::CaptureStdout();
  int stranger = -1;
  ASSERT_TRUE(station_test::PollUntil([&] { return (stranger = ConnectFrom("127.0.0.2", port_)) >= 0; }));
  const std::string forged = Frame(Report(99));
  ASSERT_EQ(::send(stranger, forged.data(), forged.size(), MSG_NOSIGNAL), static_cast<ssize_t>(forged.size()));
  EXPECT_TRUE(ClosedByServer(stranger));
  ::close(stranger);

  ASSERT_TRUE(board_.ConnectReports(port_));
  ASSERT_TRUE(board_.SendReport(Report(1)));
  ASSERT_TRUE(WaitFor(1));
  stranger = ConnectFrom("127.0.0.2", port_);
  ASSERT_GE(stranger, 0);
  ASSERT_EQ(::send(stranger, forged.data(), forged.size(), MSG_NOSIGNAL), static_cast<ssize_t>(forged.size()));
  EXPECT_TRUE(ClosedByServer(stranger));
  ::close(stranger);
  ASSERT_TRUE(board_.SendReport(Report(2)));
  ASSERT_TRUE(WaitFor(2));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Seqs(), std::vector<uint32_t>({1, 2}));
  EXPECT_NE(out.find("ErrorCode: 101900075, report connection from 127.0.0.2 refused"), std::string::npos) << out;
}

TEST_F(DataUploadServerTest, DebugPrintsEveryNthReport) {
  config_reader.debug = true;
  config_reader.sensor_data_print_space = 3;
  StartServer();
  testing::internal::CaptureStdout();
  std::string burst;
  for (uint32_t seq = 1; seq <= 7; ++seq) {
    burst += Frame(Report(seq));
  }
  ASSERT_TRUE(board_.SendRaw(burst));
  ASSERT_TRUE(WaitFor(7));
  const std::string out = testing::internal::GetCapturedStdout();
  size_t count = 0;
  for (size_t at = out.find("sensor data : "); at != std::string::npos; at = out.find("sensor data : ", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u) << out;  // the 3rd and the 6th
  EXPECT_NE(out.find("seq: 3"), std::string::npos) << out;
  EXPECT_NE(out.find("seq: 6"), std::string::npos) << out;
}

TEST(DataUploadServerBindTest, AnAddressThatCannotBeBoundEndsTheProcessWith255) {
  // The threadsafe style re-executes the test program, which under an
  // emulator (the arm64 run) only the emulator can start; there it forks.
  if (station_test::TestEmulator() == nullptr) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
  // The other threads of the station still run at that moment, so the exit must
  // not run exit handlers (nor static destructors) under them.
  EXPECT_EXIT(
      {
        std::atexit([] { std::fputs("exit handlers ran\n", stderr); });
        auto server = std::make_shared<DataUploadServer>("not-an-address", 1, 1, [](const station::SensorsDataRep&) {});
        server->Start();
      },
      testing::ExitedWithCode(255), testing::Not(testing::HasSubstr("exit handlers ran")));
}

}  // namespace
}  // namespace station_center
