// The real service with the simulated board and a real broker, as the robot and the cloud meet it:
// start-up, every request and its reply, the water session, the supplies, the broker away, TLS.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/service_rig.h"

namespace station_test {
namespace {

using std::chrono::seconds;
using std::to_string;

std::string Rsp(const std::string& code, const std::string& text, const std::string& msg = "", const std::string& robot = "") {
  return R"({"rspHeader":{"msgId":{"uuid":")" + msg + R"("},"robotId":{"uuid":")" + robot + R"("},"errCode":)" + code +
         R"(,"errMsg":")" + text + "\"}";
}
std::string NotReady(int check_type, const std::string& code = "0", const std::string& text = "") {
  return Rsp(code, text) + ",\"robotCheck\":0,\"checkType\":" + to_string(check_type) + "}";
}
std::string Dock(int state, int desire) {
  return Rsp("0", "") + ",\"robotState\":" + to_string(state) + ",\"robotDesire\":" + to_string(desire) + "}";
}
std::string SupplyReq(int type, int action) {
  return R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}},"cmd":{"action":)" + to_string(action) +
         ",\"supplyType\":" + to_string(type) + "}}";
}
std::string NoTask(int task_type) {
  return Rsp("0", "cancel task failed, because no task (task type : " + to_string(task_type) + ") running", "m", "r") + "}";
}
const std::string kFailed = R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"})";
const std::string kCheckFailed = kFailed + R"(,"robotCheck":0,"checkType":0})";
const std::vector<std::string> kDocked = {"set sorterMotorCurrentState false", "dock"};  // and no over-current

// What a subscriber that comes later learns of the station: its retained availability.
std::string RetainedAvailability(ServiceRig& rig) {
  TestMqttClient late(rig.broker().port(), "late");
  const std::string topic = ServiceRig::Topic("availability");
  return late.Connect(topic) && late.WaitForCount(topic, 1, seconds(5)) ? late.Payloads(topic)[0] : "(nothing)";
}

TEST(ServiceStartUp, ExitsWith255WithoutTouchingBoardOrBroker) {
  const struct {
    const char *what, *file, *content;  // `file` replaced by `content`, removed when nullptr
    std::map<std::string, std::string> config;
  } rows[] = {{"config.json missing", "config.json", nullptr, {}},
              {"config.json malformed", "config.json", R"({"debug": true,})", {}},
              {"led.json missing", "led.json", nullptr, {}},
              {"report address not bindable", nullptr, nullptr, {{"soc_ip", "\"192.0.2.1\""}}}};
  for (const auto& row : rows) {
    ServiceRig rig;
    ASSERT_TRUE(rig.Prepare({"--level", "500"}, {}, row.config)) << row.what;
    if (row.file != nullptr) std::filesystem::remove(rig.folder() + "/" + row.file);
    if (row.content != nullptr) std::ofstream(rig.folder() + "/" + row.file) << row.content;
    ASSERT_TRUE(rig.StartService());
    EXPECT_EQ(rig.service().WaitExit(seconds(30)), 255) << row.what;
    EXPECT_EQ(rig.broker().Log().find("as Station_"), std::string::npos) << row.what;
    EXPECT_EQ(Joined(rig.BoardCommands()) + Joined(rig.ActuatorsOn()), "") << row.what;  // nothing ever switched on
  }
}

// An old request the broker kept is not run when the service subscribes; the start-up reset drains the
// tank while the first status documents say the station is occupied; online while it runs, offline
// after SIGTERM; started again and killed without a goodbye, offline by its will.
TEST(ServiceStartUp, ResetDocumentsAvailabilitySigtermAndWill) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Prepare({"--level", "500", "--drain-rate", "100"}, {"set dustBagDet 1", "set dustBoxCapDet 1"}));
  ASSERT_TRUE(rig.robot().Publish(ServiceRig::Topic("supplyMaterialRequest"),
                                  R"({"reqHeader":{"msgId":{"uuid":"old"}},"cmd":{"supplyType":7,"action":2}})", true));
  ASSERT_TRUE(rig.StartService());
  const std::string topic = "clean_robot_station/reportActively";
  ASSERT_TRUE(PollUntil([&] { return Occurrences(Joined(rig.robot().Payloads(topic)), "\"occupy_state\":0") > 0; },
                        seconds(40)));
  EXPECT_NE(rig.robot().Payloads(topic).front().find("\"occupy_state\":1"), std::string::npos);
  EXPECT_EQ(Joined(rig.BoardCommands()), "DRAINAGE_SWITCH 1; DRAINAGE_SWITCH 0; ") << "the old request ran";
  ASSERT_TRUE(rig.WaitServing());
  EXPECT_EQ(Occurrences(Joined(rig.robot().Payloads(ServiceRig::Topic("supplyMaterialRequestRe"))), "old"), 0);
  EXPECT_EQ(RetainedAvailability(rig), "online");
  ASSERT_EQ(::kill(rig.service().pid(), SIGTERM), 0);
  EXPECT_EQ(rig.service().WaitExit(seconds(25)), 0);
  EXPECT_EQ(RetainedAvailability(rig), "offline");
  ASSERT_TRUE(rig.StartService() && rig.WaitServing());
  ASSERT_EQ(RetainedAvailability(rig), "online");
  ASSERT_EQ(::kill(rig.service().pid(), SIGKILL), 0);
  EXPECT_TRUE(PollUntil([&] { return RetainedAvailability(rig) == "offline"; }, seconds(35)));
}

// Whether the service's socket to the broker sends without delay, read through a copy of its descriptor.
int BrokerSocketNoDelay(ServiceRig& rig) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, rig.service().pid(), 0));
  int no_delay = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + to_string(rig.service().pid()) + "/fd")) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, std::stoi(entry.path().filename()), 0));
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == rig.broker().port()) {
      length = sizeof(no_delay);
      ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length);
    }
    ::close(fd);
  }
  ::close(pidfd);
  return no_delay;
}

// One station through reset, normal with the robot away, docked and leaving: each row's reply.
TEST(ServiceRequests, EveryRequestGetsItsReply) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Start({"--level", "500", "--drain-rate", "1"}));
  ASSERT_TRUE(rig.WaitServing());
  rig.OpenLedger();
  auto run = [&](const std::vector<std::array<std::string, 3>>& rows) {  // {request topic, request, exact reply}
    for (const auto& [name, request, reply] : rows) EXPECT_EQ(rig.Ask(name, request), reply) << name << " " << request;
  };
  const std::string in_reset = Rsp("1", "station in reset", "m", "r") + "}";
  run({{"supplyMaterialRequest", SupplyReq(kCharging, kStandard), in_reset},
       {"supplyMaterialRequest", SupplyReq(kUvLamp, kStandard), in_reset},
       {"preWaterRequest", R"({"cmd":{"actionCmd":{"action":2}}})", Rsp("1", "station in reset") + "}"}});
  ASSERT_EQ(rig.Board("level 0"), "ok");
  ASSERT_TRUE(rig.WaitNormal());
  EXPECT_GT(BrokerSocketNoDelay(rig), 0) << "a reply waits behind the acknowledgement of its request";
  const std::string unknown = Rsp("1", "Unknown supply type", "m", "r") + "}";
  run({{"checkStation", "{}", NotReady(0)},
       {"checkStation", R"({"reqHeader":{"msgId":{"uuid":"m-1"},"robotId":{"uuid":"r-7"}},"checkType":"ENUM_WATER_READY"})",
        Rsp("0", "", "m-1", "r-7") + R"(,"robotCheck":0,"checkType":1})"},
       {"checkStation", R"({"checkType":"ENUM_WATER_FINISH"})", NotReady(2)}, {"checkStation", R"({"checkType":2})", NotReady(2)},
       {"checkStation", R"({"check_type":2})", NotReady(2)}, {"checkStation", "", kCheckFailed},
       {"checkStation", R"({"checkType":7})", NotReady(0, "1", "Unknown check type")},
       {"checkStation", R"({"checkType":0,"colour":"red"})", kCheckFailed},
       {"checkStation", "check station please", kCheckFailed}, {"checkStation", R"({"checkType":)", kCheckFailed},
       {"checkStation", R"({"checkType":"ENUM_SOMETHING"})", kCheckFailed},
       {"checkStation", R"({"checkType":"enum_water_finish"})", kCheckFailed},
       {"dockState", "{]", kFailed + R"(,"robotState":0,"robotDesire":0})"},
       {"dockState", R"({"robotDesire":1,"extra":true})", kFailed + R"(,"robotState":0,"robotDesire":0})"},
       {"preWaterRequest", R"({"cmd":{"tablets":1}})", kFailed + "}"},
       {"supplyMaterialRequest", R"({"cmd":{"supplyType":"WATER"}})", kFailed + "}"},
       {"supplyMaterialRequest", SupplyReq(0, kStandard), unknown}, {"supplyMaterialRequest", SupplyReq(1, kStandard), unknown},
       {"supplyMaterialRequest", SupplyReq(10, kStandard), unknown},
       {"supplyMaterialRequest", R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}}})", unknown},
       {"supplyMaterialRequest", SupplyReq(kUvLamp, 0), Rsp("1", "action model illegal", "m", "r") + "}"},
       {"preWaterRequest", R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}},"cmd":{"actionCmd":{"action":4}}})", NoTask(1)},
       {"checkStation", R"({"checkType":"ENUM_IN_POSE"})", NotReady(0)},
       {"dockState", R"({"robotState":2,"robotDesire":1})", Dock(1, 2)}, {"dockState", R"({"robotState":2,"robotDesire":0})", Dock(1, 0)}});
  for (const auto& [supply, task] : std::map<int, int>{{kCharging, 11}, {kWatering, 5}, {kSewagePump, 8}, {kHeatingWire, 10},
                                                       {kHeatingFan, 9}, {kCollectDust, 6}, {kCleanPump, 7}, {kUvLamp, 13}}) {
    EXPECT_EQ(rig.Ask("supplyMaterialRequest", SupplyReq(supply, kStop)), NoTask(task)) << "stop of supply " << supply;
  }
  ASSERT_TRUE(rig.robot().Publish(ServiceRig::Topic("reportActivelyRe"), R"({"rspHeader":{"errCode":0}})"));
  ASSERT_EQ(rig.Board("dock"), "ok");
  ASSERT_TRUE(rig.PollCheckReady(kInPose, seconds(10)));
  run({{"checkStation", R"({"checkType":1})", NotReady(1)}, {"checkStation", R"({"checkType":2})", NotReady(2)},
       {"dockState", R"({"robotState":"ENUM_IN_STATION","robotDesire":"ENUM_ROBOT_DESIRE_STAY_IN"})", Dock(2, 1)},
       {"dockState", R"({"robotState":2,"robotDesire":7})", Dock(2, 0)},
       {"supplyMaterialRequest", R"({"cmd":{"action":2,"supplyType":9}})", kAccepted},
       {"dockState", R"({"robotState":2,"robotDesire":2})", Dock(2, 1)}});
  EXPECT_NE(rig.Supply(kUvLamp, kStop).find("\"errCode\":0,\"errMsg\":\"cancel task id : "), std::string::npos);
  ASSERT_TRUE(rig.PollActuator("UV_LAMP", 0));
  const long long resets = Occurrences(rig.service().Output(), "reset station task success");
  EXPECT_TRUE(PollUntil([&] { return rig.Ask("dockState", R"({"robotDesire":2})") == Dock(2, 2); }));
  EXPECT_TRUE(PollUntil([&] { return Occurrences(rig.service().Output(), "reset station task success") > resets; }))
      << "the leave resets the station";
  EXPECT_EQ(rig.Mismatched(), 0) << "a request answered twice or not at all";
  EXPECT_EQ(rig.robot().Count(ServiceRig::Topic("reportActivelyRe")), 1u) << "the cloud's reply was answered";
}

// Pre-water to water ready, then the supply to water finished, with the board's commands.
TEST(ServiceSession, PreWaterToReadyThenSupplyToFinished) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Start({"--level", "0", "--fill-rate", "1000", "--drain-rate", "1000", "--supply-rate", "1000"}, kDocked));
  ASSERT_TRUE(rig.WaitNormal());
  ASSERT_EQ(rig.Board("level 300"), "ok");  // water left over: the preparation drains it first
  ASSERT_TRUE(rig.AwaitReports(3));
  const std::string before = Joined(rig.BoardCommands());
  EXPECT_FALSE(rig.CheckReady(kWaterReady));
  EXPECT_EQ(rig.Ask("preWaterRequest", R"({"reqHeader":{"msgId":{"uuid":"p1"},"robotId":{"uuid":"r1"}},)"
                                       R"("cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":1}})"),
            Rsp("0", "", "p1", "r1") + "}");
  ASSERT_TRUE(rig.PollCheckReady(kWaterReady));
  EXPECT_FALSE(rig.CheckReady(kWaterFinish));
  EXPECT_EQ(rig.Supply(kWatering, kStandard), kAccepted);
  ASSERT_TRUE(rig.PollCheckReady(kWaterFinish));
  EXPECT_FALSE(rig.CheckReady(kWaterReady)) << "the prepared water went to the robot";
  EXPECT_EQ(Joined(rig.BoardCommands()).substr(before.size()),
            "DRAINAGE_SWITCH 1; DRAINAGE_SWITCH 0; TAP_WATER_SWITCH 1; TAP_WATER_SWITCH 0; "
            "DISINFECTANT_PLATES_MOTOR 1; DISINFECTANT_PLATES_MOTOR 0; SUPPLY_WATER_SWITCH 1; SUPPLY_WATER_SWITCH 0; ");
}

// Each supply starts, is renewed without a second switch-on, and unless kept is stopped until the board
// has it off. The heating wire needs the fan, the spray prepared water, the sewage pump sewage; the
// stopped sewage pump runs on until the sewage has drained.
TEST(ServiceSession, SuppliesStartRenewAndStop) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Start({"--level", "0", "--fill-rate", "1000", "--drain-rate", "1000", "--supply-rate", "50"},
                         {"set sorterMotorCurrentState false", "set dustBagDet 1", "set dustBoxCapDet 1", "dock"}));
  ASSERT_TRUE(rig.WaitNormal());
  const struct { int supply; const char* actuator; int on; bool keep, prepare; } rows[] = {
      {kCharging, "CHARGING", 1, false, false},       {kCollectDust, "COLLECT_DUST", 1, false, false},
      {kUvLamp, "UV_LAMP", 1, false, false},          {kHeatingFan, "HEATING_FAN", 1, true, false},
      {kHeatingWire, "HEATING_WIRE", 1, false, false}, {kWatering, "SUPPLY_WATER_SWITCH", 1, false, true},
      {kSewagePump, "SEWAGE_PUMP", 80, true, true},    {kCleanPump, "SELF_CLEAN_PUMP", 80, false, false}};
  EXPECT_EQ(rig.Supply(kHeatingWire, kStandard), Rsp("1", "dry fan not open") + "}");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.actuator);
    if (row.prepare) {
      EXPECT_EQ(rig.Ask("preWaterRequest", kPrepare), kAccepted);
      ASSERT_TRUE(rig.PollCheckReady(kWaterReady));
      ASSERT_EQ(rig.Board("set sewageDet 1"), "ok");
    }
    EXPECT_EQ(rig.Supply(row.supply, kStandard, 600), kAccepted);
    ASSERT_TRUE(rig.PollActuator(row.actuator, row.on)) << Joined(rig.BoardCommands());
    EXPECT_EQ(rig.Supply(row.supply, kStandard), kRenewed);
    EXPECT_EQ(Occurrences(Joined(rig.BoardCommands()), row.actuator + (" " + to_string(row.on)) + ";"), 1);
    if (!row.keep) {
      EXPECT_NE(rig.Supply(row.supply, kStop).find("\"errCode\":0,\"errMsg\":\"cancel task id : "), std::string::npos);
      EXPECT_TRUE(rig.PollActuator(row.actuator, 0)) << Joined(rig.BoardCommands());
    }
    if (row.supply == kHeatingWire) {
      EXPECT_NE(rig.Supply(kHeatingFan, kStop).find("\"errCode\":0"), std::string::npos);
      EXPECT_TRUE(rig.PollActuator("HEATING_FAN", 0));
    }
  }
  EXPECT_NE(rig.Supply(kSewagePump, kStop).find("\"errCode\":0"), std::string::npos);
  ASSERT_TRUE(PollUntil([&] { return rig.service().OutputHas("task_type 8, cancel"); }));
  ASSERT_TRUE(rig.AwaitReports(5));
  EXPECT_EQ(rig.Actuator("SEWAGE_PUMP"), 80);
  ASSERT_EQ(rig.Board("set sewageDet 0"), "ok");
  EXPECT_TRUE(rig.PollActuator("SEWAGE_PUMP", 0));
  EXPECT_EQ(Joined(rig.ActuatorsOn()), "");
}

// The broker goes while water is supplied: the lost connection resets the station, which ends the
// supply with its switches off; the service reconnects, subscribes again and answers within 10 s.
TEST(ServiceBroker, RestartDuringWaterSupply) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Start({"--level", "0", "--fill-rate", "1000", "--drain-rate", "1000", "--supply-rate", "15"}, kDocked));
  ASSERT_TRUE(rig.WaitNormal());
  ASSERT_EQ(rig.Ask("preWaterRequest", kPrepare), kAccepted);
  ASSERT_TRUE(rig.PollCheckReady(kWaterReady));
  ASSERT_EQ(rig.Supply(kWatering, kStandard), kAccepted);
  ASSERT_TRUE(rig.PollActuator("SUPPLY_WATER_SWITCH", 1));
  rig.broker().Stop();
  EXPECT_TRUE(rig.PollActuator("SUPPLY_WATER_SWITCH", 0)) << Joined(rig.BoardCommands());
  EXPECT_EQ(rig.Actuator("TAP_WATER_SWITCH"), 0);
  ASSERT_TRUE(rig.broker().Start());
  EXPECT_TRUE(PollUntil([&] { return !rig.Ask("checkStation", "{}", std::chrono::milliseconds(500)).empty(); }));
  EXPECT_GT(BrokerSocketNoDelay(rig), 0) << "the new connection is tuned like the first";
  EXPECT_TRUE(PollUntil([&] { return rig.ActuatorsOn().empty(); }, seconds(20))) << Joined(rig.ActuatorsOn());
}

TEST(ServiceBroker, DownAtStartUpThenServedOnceItIsUp) {
  ServiceRig rig;
  ASSERT_TRUE(rig.Prepare());
  rig.broker().Stop();  // the robot connects again by itself
  ASSERT_TRUE(rig.StartService());
  ASSERT_TRUE(PollUntil([&] { return rig.service().OutputHas("wait retry connect mqtt server"); }));
  ASSERT_TRUE(rig.broker().Start());
  EXPECT_TRUE(rig.WaitServing(seconds(25)));
  EXPECT_TRUE(rig.robot().WaitForCount("clean_robot_station/reportActively", 1));
}

// Never connected through TLS without the right files; a private key never shows in the log.
TEST(ServiceBroker, TlsAnsweredOnlyWithTheRightCertificates) {
  const std::string cert = "\"$TLS/client.pem\"", key = "\"$TLS/client.key\"";
  const struct {
    const char* what;
    bool require_certificate;
    std::map<std::string, std::string> config;
    const char* failure;  // logged; nullptr: answered
  } rows[] = {{"CA checked", false, {}, nullptr},
              {"client certificate required and presented", true, {{"mqtt_cert_file", cert}, {"mqtt_key_file", key}}, nullptr},
              {"broker certificate from another CA", false, {{"mqtt_ca_file", "\"$TLS/other_ca.pem\""}}, "Connect broker failed"},
              {"client certificate required, none presented", true, {}, "Connect broker failed"},
              {"CA file unreadable", false, {{"mqtt_ca_file", "\"$TLS/none.pem\""}}, "cannot read mqtt_ca_file"},
              {"certificate without its key", true, {{"mqtt_cert_file", cert}}, "mqtt_key_file go together"}};
  for (const auto& row : rows) {
    ServiceRig rig;
    ASSERT_TRUE(rig.broker().EnableTls(row.require_certificate)) << row.what;
    ASSERT_TRUE(rig.Start({"--level", "500"}, {}, row.config)) << row.what;
    if (row.failure == nullptr) {
      EXPECT_TRUE(rig.WaitServing()) << row.what;
    } else {
      EXPECT_TRUE(PollUntil([&] { return rig.service().OutputHas(row.failure); })) << row.what;
      EXPECT_EQ(rig.Ask("checkStation", "{}", seconds(2)), "") << row.what;
      EXPECT_EQ(rig.broker().Log().find(" as Station_"), std::string::npos) << row.what;
    }
    EXPECT_FALSE(rig.service().OutputHas("PRIVATE KEY")) << row.what;
  }
}

}  // namespace
}  // namespace station_test
