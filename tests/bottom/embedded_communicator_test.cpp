#include "bottom/embedded_communicator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "support/fake_board.h"

namespace station_center {
namespace {

using station_test::Action;
using station_test::FakeBoard;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The communicator's report server thread is detached and uses the object until
// the process ends; each test runs in its own process, so it is deliberately
// never destroyed.
auto* const kept_alive = new std::vector<std::shared_ptr<EmbeddedCommunicator>>();

class EmbeddedCommunicatorTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(board_.command_port(), 0);
    config_reader.embedded_ip = "127.0.0.1";
    config_reader.embedded_action_port = board_.command_port();
    config_reader.soc_ip = "127.0.0.1";
    config_reader.soc_data_server_port = station_test::PickFreeLoopbackPort();
    config_reader.bottom_action_timeout = 1;
    config_reader.do_action_cache_size = 4096;
    kept_alive->push_back(std::make_shared<EmbeddedCommunicator>());
    comm_ = kept_alive->back().get();
    ASSERT_TRUE(comm_->Init([](const station::SensorsDataRep&) {}));
  }

  // Runs `call` and returns its duration in milliseconds.
  template <typename F>
  static int64_t TimedMs(F&& call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  }

  FakeBoard board_;
  EmbeddedCommunicator* comm_ = nullptr;
};

TEST_F(EmbeddedCommunicatorTest, ConfirmedCommandReachesTheBoardOnce) {
  FreezeClock(1700000000);
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  const auto reqs = board_.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].seq_(), 1700000000);
  EXPECT_TRUE(reqs[0].has_cmd_());
  EXPECT_FALSE(reqs[0].has_change_led_());
  EXPECT_EQ(reqs[0].cmd_().supply_type_(), station::ENUM_SUPPLY_TAP_WATER_SWITCH);
  EXPECT_EQ(reqs[0].cmd_().action_(), 1);
  EXPECT_EQ(board_.Connections(), 1);
}

TEST_F(EmbeddedCommunicatorTest, LedChangeCarriesOnlyTheLedCommand) {
  EXPECT_TRUE(comm_->ChangeLed(station::LED_SUPPLYING));
  const auto reqs = board_.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_FALSE(reqs[0].has_cmd_());
  ASSERT_TRUE(reqs[0].has_change_led_());
  EXPECT_EQ(reqs[0].change_led_().led_cmd_(), station::LED_SUPPLYING);
}

TEST_F(EmbeddedCommunicatorTest, CommandsArriveInTheOrderIssued) {
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
  EXPECT_TRUE(comm_->ChangeLed(station::LED_NORMAL_WORK));
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_SEWAGE_PUMP, 80)));
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0)));
  const auto reqs = board_.Requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].cmd_().supply_type_(), station::ENUM_SUPPLY_DRAINAGE_SWITCH);
  EXPECT_EQ(reqs[1].change_led_().led_cmd_(), station::LED_NORMAL_WORK);
  EXPECT_EQ(reqs[2].cmd_().action_(), 80);
  EXPECT_EQ(reqs[3].cmd_().action_(), 0);
}

TEST_F(EmbeddedCommunicatorTest, RequestIdsNeverRepeatWithinASecond) {
  FreezeClock(1700000000);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(comm_->ChangeLed(station::LED_NORMAL_WORK));
  }
  AdvanceClock(10);  // time moved past the last id: the id is the time again
  EXPECT_TRUE(comm_->ChangeLed(station::LED_NORMAL_WORK));
  const auto reqs = board_.Requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].seq_(), 1700000000);
  EXPECT_EQ(reqs[1].seq_(), 1700000001);
  EXPECT_EQ(reqs[2].seq_(), 1700000002);
  EXPECT_EQ(reqs[3].seq_(), 1700000010);
}

TEST_F(EmbeddedCommunicatorTest, StaleReplyIsSkippedByItsId) {
  testing::internal::CaptureStdout();
  board_.ScriptNext(FakeBoard::Answer::kStaleThenSuccess);
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_UV_LAMP, 1)));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Recv data not this request, rcv request id : "), std::string::npos) << out;
}

TEST_F(EmbeddedCommunicatorTest, ReplySplitOverTwoReadsIsCompleted) {
  board_.ScriptNext(FakeBoard::Answer::kSplit);
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_UV_LAMP, 1)));
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_UV_LAMP, 0)));
}

// A failure answered by the board ends the exchange at once; a failure that
// leaves it waiting ends it at the time-out, never much later. Either way the
// connection stays usable for the next command.
struct FailureCase {
  const char* name;
  FakeBoard::Answer answer;
  const char* error_line;  // expected in the output
  bool waits_for_timeout;
  int connections_after;  // command connections once the next command went through
};

class ExchangeFailureTest : public EmbeddedCommunicatorTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ExchangeFailureTest, FailsInTimeAndTheNextCommandGoesThrough) {
  const FailureCase& c = GetParam();
  board_.ScriptNext(c.answer);
  testing::internal::CaptureStdout();
  bool result = true;
  const int64_t took_ms = TimedMs([&] { result = comm_->DoAction(Action(station::ENUM_SUPPLY_HEATING_FAN, 1)); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(result);
  EXPECT_NE(out.find(c.error_line), std::string::npos) << out;
  EXPECT_NE(out.find("ErrorCode: 101900057, SendCleaningComponentRequest failed, request id : "), std::string::npos);
  if (c.waits_for_timeout) {
    EXPECT_GE(took_ms, 950);
  } else {
    EXPECT_LT(took_ms, 900);
  }
  EXPECT_LT(took_ms, 1000 + 150) << "the wait overran the exchange time-out";

  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_HEATING_FAN, 0)));
  EXPECT_EQ(board_.Requests().size(), 2u);
  EXPECT_EQ(board_.Connections(), c.connections_after);
}

INSTANTIATE_TEST_SUITE_P(
    Board, ExchangeFailureTest,
    testing::Values(
        FailureCase{"ErrorCode", FakeBoard::Answer::kError,
                    "ErrorCode: 101900056, SendCleaningComponentRequest processing failed right now", false, 1},
        FailureCase{"WrongSeq", FakeBoard::Answer::kWrongSeq, "Recv data not this request", true, 1},
        FailureCase{"Silent", FakeBoard::Answer::kSilent,
                    "ErrorCode: 101900055, SendCleaningComponentRequest response failed, rcvlen : -1", true, 1},
        FailureCase{"ClosesMidWait", FakeBoard::Answer::kClose,
                    // whether the read saw the close or the next state check did, the wait ends unanswered
                    "ErrorCode: 101900055, SendCleaningComponentRequest response failed", true, 2},
        FailureCase{"Garbage", FakeBoard::Answer::kGarbage,
                    "ErrorCode: 101900012, Deserialize response from SendCleaningComponentRequest failed", false, 1},
        FailureCase{"OversizedPrefix", FakeBoard::Answer::kOversized,
                    "ErrorCode: 101900012, Deserialize response from SendCleaningComponentRequest failed", false, 1}),
    [](const testing::TestParamInfo<FailureCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(EmbeddedCommunicatorTest, LateReplyToAFailedExchangeIsNeverTakenAsTheNextAnswer) {
  FreezeClock(1700000000);  // both exchanges in the same second
  board_.ScriptNext(FakeBoard::Script{FakeBoard::Answer::kError, station::ENUM_ERROR_UNKNOW, 1300});
  EXPECT_FALSE(comm_->DoAction(Action(station::ENUM_SUPPLY_COLLECT_DUST, 1)));
  // The late error reply for the first id arrives while the second waits; the
  // board answers the second after it, and only that answer counts.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_COLLECT_DUST, 0)));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("rcv request id : 1700000000, current request id : 1700000001"), std::string::npos) << out;
}

TEST_F(EmbeddedCommunicatorTest, BoardDownFailsAtTheTimeOut) {
  board_.StopListening();
  testing::internal::CaptureStdout();
  bool result = true;
  const int64_t took_ms = TimedMs([&] { result = comm_->DoAction(Action(station::ENUM_SUPPLY_CHARGING, 1)); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(result);
  EXPECT_NE(out.find("ErrorCode: 101900054, BottomReqNeedResp exchange failed, exchange:false"), std::string::npos)
      << out;
  EXPECT_LT(took_ms, 1000 + 150);
}

// A board off the network answers no connect: the reconnect inside the
// exchange gets only the time the exchange has left.
TEST_F(EmbeddedCommunicatorTest, BoardOffTheNetworkFailsAtTheTimeOut) {
  station_test::UnansweredPort unanswered;
  ASSERT_NE(unanswered.port(), 0);
  auto client = std::make_shared<TcpClient>("127.0.0.1", unanswered.port());
  station::SupplyMaterialReq req;
  req.set_seq_(11);
  *req.mutable_cmd_() = Action(station::ENUM_SUPPLY_CHARGING, 1);
  station::SupplyMaterialRsp rsp;
  bool result = true;
  const int64_t took_ms = TimedMs([&] { result = comm_->BottomReqNeedResp(client, req, rsp, 1); });
  EXPECT_FALSE(result);
  EXPECT_GE(took_ms, 950);
  EXPECT_LT(took_ms, 1000 + 150) << "the reconnect overran the exchange time-out";
}

TEST_F(EmbeddedCommunicatorTest, ReconnectsAfterTheBoardClosedTheConnection) {
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_CHARGING, 1)));
  board_.CloseCommandConnection();
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_CHARGING, 0)));
  EXPECT_EQ(board_.Connections(), 2);
  EXPECT_EQ(board_.Requests().size(), 2u);
}

TEST_F(EmbeddedCommunicatorTest, ConcurrentCallersGetWholeExchanges) {
  std::vector<std::thread> callers;
  std::atomic<int> confirmed{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        if (comm_->DoAction(Action(station::ENUM_SUPPLY_PERFUME_PUMP, t * 100 + i))) {
          confirmed.fetch_add(1);
        }
      }
    });
  }
  for (auto& caller : callers) {
    caller.join();
  }
  EXPECT_EQ(confirmed.load(), 40);
  const auto reqs = board_.Requests();
  ASSERT_EQ(reqs.size(), 40u);
  for (size_t i = 1; i < reqs.size(); ++i) {
    EXPECT_GT(reqs[i].seq_(), reqs[i - 1].seq_()) << "ids must be unique and rising";
  }
}

}  // namespace
}  // namespace station_center
