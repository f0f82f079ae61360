// The whole service end to end: the real station executable, the simulated
// board and a real broker, with the robot and the cloud played by test clients.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "e2e_env.h"

namespace station_test {
namespace {

TEST(EndToEnd, MissingLedFileEndsStartUpWithStatus255) {
  EndToEnd e2e;
  E2eOptions options;
  options.with_led_json = false;
  ASSERT_TRUE(e2e.Start(options));
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::seconds(30)), 255) << e2e.station().Output();
  EXPECT_EQ(e2e.station().Output().find("try connect to broker"), std::string::npos);
}

TEST(EndToEnd, StartUpResetThenIdleStatusDocuments) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  const std::string topic = "clean_robot_station/reportActively";
  auto has = [&](const std::string& part) {
    for (const std::string& doc : e2e.robot().Payloads(topic)) {
      if (doc.find(part) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(PollUntil([&] { return has("\"occupy_state\":0"); }, std::chrono::seconds(60))) << e2e.station().Output();
  const std::vector<std::string> docs = e2e.robot().Payloads(topic);
  // The tank starts half full, so the start-up reset drains it while the first reports go out.
  EXPECT_NE(docs.front().find("\"occupy_state\":1"), std::string::npos) << docs.front();
  const std::string& doc = docs.back();
  EXPECT_EQ(doc.rfind(R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"3932205875647256825375026"}},)"
                      R"("state_info":{"ready_state":{"ntp_state":1,"sensor_state":1,"driver_state":1,"self_test_state":1},)"
                      R"("online_time":)",
                      0),
            0u)
      << doc;
  EXPECT_NE(doc.find(R"(,"consumables_state":{"disinfectant_tables":1,"tap_water":1,"dust_bag":1},)"
                     R"("abnormal_info":{"emergency_stop":0,"abnormal_sensor_num":1,)"
                     R"("abnormal_sensor_list":[{"name":"","data":"","msg":""}]}})"),
            std::string::npos)
      << doc;
}

TEST(EndToEnd, RobotChecksAndBadRequestsThroughTheService) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  EXPECT_EQ(e2e.Ask("checkStation", R"({"reqHeader":{"msgId":{"uuid":"1"},"robotId":{"uuid":"r"}},"checkType":0})"),
            R"({"rspHeader":{"msgId":{"uuid":"1"},"robotId":{"uuid":"r"},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":0})");
  EXPECT_EQ(e2e.Ask("checkStation", R"({"checkType":9})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"Unknown check type"},"robotCheck":0,"checkType":0})");
  EXPECT_EQ(e2e.Ask("supplyMaterialRequest", R"({"cmd":{"supplyType":1,"action":2}})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"Unknown supply type"}})");
  EXPECT_EQ(e2e.Ask("dockState", R"({"robotDesire":1,"extra":true})"),
            R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotState":0,"robotDesire":0})");
  EXPECT_EQ(e2e.Ask("preWaterRequest", "{{"),
            R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"}})");

  // The cloud's answer to a status document is logged and gets no reply: the
  // next request's answer is the only new message on a reply topic.
  auto replies = [&] {
    size_t count = 0;
    for (const char* name : {"checkStationRe", "dockStateRe", "preWaterRequestRe", "supplyMaterialRequestRe"}) {
      count += e2e.robot().Count(EndToEnd::Topic(name));
    }
    return count;
  };
  const size_t before = replies();
  ASSERT_TRUE(e2e.robot().Publish(EndToEnd::Topic("reportActivelyRe"), R"({"rspHeader":{"errCode":0}})"));
  EXPECT_FALSE(e2e.Ask("checkStation", "{}").empty());
  EXPECT_EQ(replies(), before + 1);
  EXPECT_TRUE(PollUntil([&] { return e2e.station().OutputHas("ErrorCode: 101900014, Topic: reportActivelyRe not found"); }))
      << e2e.station().Output();
}

TEST(EndToEnd, BrokerDownAtStartUpThenServiceOnceItIsUp) {
  EndToEnd e2e;
  E2eOptions options;
  options.broker_up = false;
  ASSERT_TRUE(e2e.Start(options));
  ASSERT_TRUE(PollUntil([&] { return e2e.station().OutputHas("wait retry connect mqtt server"); },
                        std::chrono::seconds(40)))
      << e2e.station().Output();
  EXPECT_TRUE(e2e.station().OutputHas("ErrorCode: 101900017, mqtt client init failed")) << e2e.station().Output();
  ASSERT_TRUE(e2e.broker().Start());
  ASSERT_TRUE(e2e.ConnectRobot());
  // The next attempt, 10 seconds after the failed one, gets through.
  EXPECT_TRUE(e2e.WaitServing(std::chrono::seconds(40))) << e2e.station().Output();
  EXPECT_TRUE(e2e.robot().WaitForCount("clean_robot_station/reportActively", 1, std::chrono::seconds(20)));
}

// What a subscriber that comes later learns from the broker about the station.
std::string RetainedAvailability(EndToEnd& e2e) {
  TestMqttClient late(e2e.broker().Address(), "late_cloud", kE2eUser, kE2ePassword);
  if (!late.Connect() || !late.Subscribe(EndToEnd::Topic("availability")) ||
      !late.WaitForCount(EndToEnd::Topic("availability"), 1, std::chrono::seconds(5))) {
    return "(nothing retained)";
  }
  const ReceivedMessage message = late.Messages().front();
  return message.retained ? message.payload : "(not retained)";
}

// The cloud tells a station that stopped, or died, from one that is quiet.
TEST(EndToEnd, AvailabilityIsOnlineWhileConnectedAndOfflineAfterStopOrKill) {
  for (const int signal_number : {SIGTERM, SIGKILL}) {
    EndToEnd e2e;
    ASSERT_TRUE(e2e.Start());
    ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
    const std::string topic = EndToEnd::Topic("availability");
    ASSERT_TRUE(e2e.robot().WaitForCount(topic, 1));
    EXPECT_EQ(e2e.robot().Payloads(topic).back(), "online");
    EXPECT_EQ(RetainedAvailability(e2e), "online");

    ::kill(e2e.station().pid(), signal_number);
    const int status = e2e.station().WaitExit(std::chrono::seconds(30));
    // Closed without a goodbye, the connection ends at once for the broker, which
    // then publishes the will; the keep-alive (20 s, 30 s of silence) is the bound
    // for a station that vanished from the network instead.
    EXPECT_TRUE(PollUntil([&] { return e2e.robot().Payloads(topic).back() == "offline"; }, std::chrono::seconds(35)))
        << "signal " << signal_number << "\n" << e2e.station().Output();
    EXPECT_EQ(RetainedAvailability(e2e), "offline") << "signal " << signal_number;
    if (signal_number == SIGTERM) {
      EXPECT_EQ(status, 0) << e2e.station().Output();
      EXPECT_TRUE(e2e.station().OutputHas("availability : offline on clean_robot_station/E1/availability\n"))
          << e2e.station().Output();
    }
  }
}

TEST(EndToEnd, ServiceWaitsForTheBrokerAndAnswersOnceItIsUp) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  e2e.broker().Stop();
  ASSERT_TRUE(e2e.broker().Start());
  ASSERT_TRUE(PollUntil([&] { return e2e.robot().Connected(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(e2e.WaitServing(std::chrono::seconds(60))) << e2e.station().Output();
  // The status report resumes as well.
  e2e.robot().Clear();
  EXPECT_TRUE(e2e.robot().WaitForCount("clean_robot_station/reportActively", 1, std::chrono::seconds(20)));
  // The restarted broker kept nothing; the station said "online" again on reconnecting.
  EXPECT_EQ(RetainedAvailability(e2e), "online");
}

}  // namespace
}  // namespace station_test
