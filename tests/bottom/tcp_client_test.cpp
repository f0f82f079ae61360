#include "bottom/tcp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/fake_board.h"

namespace station_center {
namespace {

using station_test::FakeBoard;

std::string RequestFrame(int32_t seq) {
  station::SupplyMaterialReq req;
  req.set_seq_(seq);
  req.mutable_change_led_()->set_led_cmd_(station::LED_NORMAL_WORK);
  return station_test::Frame(req);
}

TEST(TcpClientTest, SendToAPeerThatHasGoneFailsWithoutEndingTheProcess) {
  FakeBoard board;
  board.ScriptNext(FakeBoard::Answer::kClose);
  TcpClient client("127.0.0.1", board.command_port());
  ASSERT_TRUE(client.Init());
  const std::string frame = RequestFrame(1);
  ASSERT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));
  ASSERT_TRUE(board.WaitForRequests(1));
  // Write straight on the old descriptor (no reconnect) until the kernel
  // reports the reset; a broken-pipe signal would end this test process.
  const std::string chunk(64 * 1024, 'x');
  bool failed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!failed && std::chrono::steady_clock::now() < deadline) {
    failed = !client.SendData(client.fd(), chunk.data(), static_cast<int>(chunk.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(failed);
}

TEST(TcpClientTest, SendOnANeverConnectedClientReconnectsFirst) {
  FakeBoard board;
  TcpClient client("127.0.0.1", board.command_port());
  // No Init: the first Send connects.
  const std::string frame = RequestFrame(7);
  EXPECT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));
  ASSERT_TRUE(board.WaitForRequests(1));
  EXPECT_EQ(board.Requests()[0].seq_(), 7);
}

TEST(TcpClientTest, SendWithTheBoardDownFailsAfterTheConnectAttempt) {
  FakeBoard board;
  board.StopListening();
  TcpClient client("127.0.0.1", board.command_port());
  testing::internal::CaptureStdout();
  const std::string frame = RequestFrame(7);
  EXPECT_FALSE(client.Send(frame.data(), static_cast<int>(frame.size())));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("TcpSocket::Connect get flag: -1"), std::string::npos) << out;
  EXPECT_NE(out.find("ErrorCode: 101900002, TcpSocket::Connect failed"), std::string::npos) << out;
}

TEST(TcpClientTest, ConnectToABoardOffTheNetworkEndsAtTheGivenTime) {
  station_test::UnansweredPort unanswered;
  ASSERT_NE(unanswered.port(), 0);
  TcpClient client("127.0.0.1", unanswered.port());
  const std::string frame = RequestFrame(8);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Send(frame.data(), static_cast<int>(frame.size()), 200));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST(TcpClientTest, WaitWithoutDataEndsAtTheGivenTimeAndLogsNothing) {
  FakeBoard board;
  board.ScriptNext(FakeBoard::Answer::kSilent);
  TcpClient client("127.0.0.1", board.command_port());
  ASSERT_TRUE(client.Init());
  const std::string frame = RequestFrame(3);
  ASSERT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));
  testing::internal::CaptureStdout();
  char buf[64];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Recv(buf, sizeof(buf), 200), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST(TcpClientTest, ReadAfterThePeerClosedReportsTheShutdownThenReconnects) {
  FakeBoard board;
  board.ScriptNext(FakeBoard::Answer::kClose);
  TcpClient client("127.0.0.1", board.command_port());
  ASSERT_TRUE(client.Init());
  const std::string frame = RequestFrame(4);
  ASSERT_TRUE(client.Send(frame.data(), static_cast<int>(frame.size())));
  char buf[64];
  testing::internal::CaptureStdout();
  // Read on the descriptor itself: the close is seen as end of stream.
  EXPECT_EQ(client.RecvData(client.fd(), buf, sizeof(buf)), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("ErrorCode: 101900008, TcpSocket::RecvData connect shutdown"),
            std::string::npos);
  // The next use finds the connection gone and makes a new one.
  const std::string again = RequestFrame(5);
  EXPECT_TRUE(client.Send(again.data(), static_cast<int>(again.size())));
  ASSERT_TRUE(board.WaitForRequests(2));
  EXPECT_EQ(board.Connections(), 2);
}

}  // namespace
}  // namespace station_center
