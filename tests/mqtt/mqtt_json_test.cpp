// The JSON forms of the robot's requests and the station's replies, as they
// travel through a real broker to the station's handlers and back.

#include <string>
#include <vector>

#include "mqtt_test_env.h"

namespace station_test {
namespace {

struct JsonCase {
  const char* what;
  const char* request;
  const char* reply;
};

// The station center here is not initialised: its in-pose check reports the
// robot absent, so every accepted check is answered not ready.
const JsonCase kCheckCases[] = {
    {"empty object: all defaults, in-pose check",
     "{}",
     R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":0})"},
    {"identifiers are copied back",
     R"({"reqHeader":{"msgId":{"uuid":"m-1"},"robotId":{"uuid":"r-7"}},"checkType":"ENUM_WATER_READY"})",
     R"({"rspHeader":{"msgId":{"uuid":"m-1"},"robotId":{"uuid":"r-7"},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":1})"},
    {"check type as its name",
     R"({"checkType":"ENUM_WATER_FINISH"})",
     R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":2})"},
    {"check type as a number",
     R"({"checkType":2})",
     R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":2})"},
    {"member in its schema spelling",
     R"({"check_type":2})",
     R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":2})"},
    {"undeclared enum number reaches the handler",
     R"({"reqHeader":{"msgId":{"uuid":"m-2"},"robotId":{"uuid":"r-2"}},"checkType":7})",
     R"({"rspHeader":{"msgId":{"uuid":"m-2"},"robotId":{"uuid":"r-2"},"errCode":1,"errMsg":"Unknown check type"},"robotCheck":0,"checkType":0})"},
    {"undeclared member makes the request unparsable",
     R"({"reqHeader":{"msgId":{"uuid":"m-3"}},"checkType":0,"colour":"red"})",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
    {"not JSON at all",
     "check station please",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
    {"unknown enum name",
     R"({"checkType":"ENUM_SOMETHING"})",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
    {"enum names are case sensitive",
     R"({"checkType":"enum_water_finish"})",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
    {"empty payload",
     "",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
    {"truncated JSON",
     R"({"checkType":)",
     R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotCheck":0,"checkType":0})"},
};

TEST(MqttJson, CheckStationRequestsAndRepliesOnTheWire) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start());
  for (const JsonCase& c : kCheckCases) {
    EXPECT_EQ(env.Ask("checkStation", c.request), c.reply) << c.what;
  }
}

// Each reply type renders its own scalar fields even when the request failed to parse.
TEST(MqttJson, UnparsableRequestOfEachKindIsAnsweredOnItsReplyTopic) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start());
  const std::string failed = R"("rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"})";
  EXPECT_EQ(env.Ask("dockState", "{]"), "{" + failed + R"(,"robotState":0,"robotDesire":0})");
  EXPECT_EQ(env.Ask("preWaterRequest", R"({"cmd":{"tablets":1}})"), "{" + failed + "}");
  EXPECT_EQ(env.Ask("supplyMaterialRequest", R"({"cmd":{"supplyType":"WATER"}})"), "{" + failed + "}");
}

TEST(MqttJson, RepliesAreCompactSingleLines) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start());
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":"a b"}}})"},
      {"dockState", R"({"robotState":"ENUM_IN_STATION","robotDesire":"ENUM_ROBOT_DESIRE_STAY_IN"})"},
      {"preWaterRequest", R"({"cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":300}})"},
      {"supplyMaterialRequest", R"({"cmd":{"action":2,"supplyType":3,"duration":10}})"},
  };
  for (const auto& request : requests) {
    const std::string reply = env.Ask(request.first, request.second);
    ASSERT_FALSE(reply.empty()) << request.first;
    EXPECT_EQ(reply.find('\n'), std::string::npos) << reply;
    EXPECT_EQ(reply.find(": "), std::string::npos) << reply;
    EXPECT_EQ(reply.find(", "), std::string::npos) << reply;
    EXPECT_EQ(reply.find("{ "), std::string::npos) << reply;
  }
}

}  // namespace
}  // namespace station_test
