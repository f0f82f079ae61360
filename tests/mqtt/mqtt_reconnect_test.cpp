// The connection's bad days: the broker restarts under a running station, and
// the broker keeps an old request as retained.

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "mqtt_test_env.h"
#include "support/station_fixture.h"

namespace station_test {
namespace {

using mqtt_client::MqttClient;

// Whether the station's newest connection to the broker sends without delay:
// the broker's log names the client's port, and this process holds that socket.
bool StationSocketHasNoDelay(MosquittoBroker& broker, const std::string& client_id) {
  const std::string log = broker.Log();
  const std::regex connected("from 127\\.0\\.0\\.1:([0-9]+) as " + client_id + " ");
  int port = -1;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), connected); it != std::sregex_iterator(); ++it) {
    port = std::atoi((*it)[1].str().c_str());
  }
  DIR* dir = ::opendir("/proc/self/fd");
  if (port < 0 || dir == nullptr) {
    if (dir != nullptr) {
      ::closedir(dir);
    }
    return false;
  }
  int no_delay = -1;
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t local_len = sizeof(local);
    socklen_t peer_len = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0 && local.sin_family == AF_INET &&
        ntohs(local.sin_port) == port &&
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0 &&
        ntohs(peer.sin_port) == broker.port()) {
      socklen_t len = sizeof(no_delay);
      ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &len);
    }
  }
  ::closedir(dir);
  return no_delay > 0;
}

// The station's client reconnects by itself and subscribes again on the new
// connection (which starts clean), so the robot is heard after the restart.
TEST(MqttReconnect, StationAnswersAgainAfterBrokerRestart) {
  StationHarness station;
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("R1"));
  ASSERT_TRUE(env.ConnectRobot());
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(env.StartStation(station.center()));
  ASSERT_FALSE(env.Ask("checkStation", "{}").empty());
  // A reply leaves at once, not behind the acknowledgement of the request.
  EXPECT_TRUE(PollUntil([&] { return StationSocketHasNoDelay(env.broker(), "Station_R1"); }));

  env.broker().Stop();
  // The lost connection resets the station.
  EXPECT_TRUE(PollUntil([&] { return station.center()->Status() != station_center::STATION_NORMAL; }));
  ASSERT_TRUE(env.broker().Start());
  ASSERT_TRUE(PollUntil([&] { return env.robot().Connected(); }, std::chrono::seconds(20)));

  // The reply needs the station's reconnect and its new subscriptions.
  const bool answered = PollUntil(
      [&] {
        return !env.robot()
                    .Request(Topic("R1", "checkStation"), Topic("R1", "checkStationRe"), "{}",
                             std::chrono::milliseconds(500))
                    .empty();
      },
      std::chrono::seconds(15));
  EXPECT_TRUE(answered);
  // The new connection is tuned like the first.
  EXPECT_TRUE(PollUntil([&] { return StationSocketHasNoDelay(env.broker(), "Station_R1"); }));
  EXPECT_TRUE(station.WaitIdle(std::chrono::seconds(20)));
}

// An old request the broker kept must not run again when the station subscribes.
TEST(MqttReconnect, RetainedRequestIsNotRerun) {
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("R2"));
  ASSERT_TRUE(env.ConnectRobot());
  ASSERT_TRUE(env.robot().Publish(Topic("R2", "supplyMaterialRequest"),
                                  R"({"reqHeader":{"msgId":{"uuid":"old"}},"cmd":{"supplyType":7,"action":2}})",
                                  true));
  ASSERT_TRUE(env.StartStation());
  // The probe of StartStation was answered on the same topic after the
  // subscription, so a retained delivery would have come before it.
  ASSERT_FALSE(env.Ask("supplyMaterialRequest", R"({"reqHeader":{"msgId":{"uuid":"new"}},"cmd":{"supplyType":0}})")
                   .empty());
  const auto replies = env.robot().Payloads(Topic("R2", "supplyMaterialRequestRe"));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].find(R"("uuid":"new")"), std::string::npos) << replies[0];
}

// Should a retained request reach the station anyway, it is dropped unanswered.
TEST(MqttReconnect, RequestArrivingRetainedIsDropped) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start("R3"));
  const std::string topic = Topic("R3", "checkStation");
  env.callback()->message_arrived(mqtt::make_message(topic, R"({"reqHeader":{"msgId":{"uuid":"old"}}})", 1, true));
  env.callback()->message_arrived(mqtt::make_message(topic, R"({"reqHeader":{"msgId":{"uuid":"new"}}})", 1, false));
  ASSERT_TRUE(env.robot().WaitForCount(Topic("R3", "checkStationRe"), 1));
  // A second fresh request through the broker fences off any late reply.
  ASSERT_FALSE(env.Ask("checkStation", R"({"reqHeader":{"msgId":{"uuid":"fence"}}})").empty());
  const auto replies = env.robot().Payloads(Topic("R3", "checkStationRe"));
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_NE(replies[0].find(R"("uuid":"new")"), std::string::npos) << replies[0];
  EXPECT_NE(replies[1].find(R"("uuid":"fence")"), std::string::npos) << replies[1];
}

}  // namespace
}  // namespace station_test
