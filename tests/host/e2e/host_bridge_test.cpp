// A room's own mosquitto bridged to a central one, both real and on the
// loopback: a publisher in the room, the recorder on the central broker.
// What the recorder writes is the publisher's own recording; the retained
// info and status reach the central broker as retained messages; markers and
// clock exchanges cross the bridge in both directions, each exactly once.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "recorder_fixture.h"
#include "room_bridge.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

// One message from a client of the test's own, once the broker has
// acknowledged it.
void Send(int port, const std::string& topic, const std::string& payload) {
  mosquitto_lib_init();
  bool acknowledged = false;
  mosquitto* m = mosquitto_new(nullptr, true, &acknowledged);
  mosquitto_publish_callback_set(m, [](mosquitto*, void* done, int) { *static_cast<bool*>(done) = true; });
  ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", port, 10), MOSQ_ERR_SUCCESS);
  ASSERT_EQ(mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false),
            MOSQ_ERR_SUCCESS);
  for (auto until = std::chrono::steady_clock::now() + 10s; !acknowledged && std::chrono::steady_clock::now() < until;) {
    mosquitto_loop(m, 100, 1);
  }
  EXPECT_TRUE(acknowledged) << topic;
  mosquitto_disconnect(m);
  mosquitto_destroy(m);
}

size_t Count(const std::vector<MqttMessage>& messages, const std::string& topic) {
  return PayloadsOn(messages, topic).size();
}

class HostBridge : public RecorderTest {
 protected:
  MqttBroker room{t.Path() / "room", {RoomBridge(broker.Port()), ""}};
};

TEST_F(HostBridge, TheCentralRecorderHasTheRoomPublishersStreamAndTheBridgeCarriesEachMessageOnce) {
  // The bridge says on the central broker (retained) when it is connected.
  MqttListener bridgeState(broker.Port(), "$SYS/broker/connection/vozi-bridge-room3/state");
  ASSERT_TRUE(room.Start()) << ReadFile(t.Path() / "room" / "mosquitto.log");
  ASSERT_TRUE(bridgeState.WaitFor(
      [](const std::vector<MqttMessage>& m) { return !m.empty() && m.back().payload == "1"; }, 30s))
      << ReadFile(t.Path() / "room" / "mosquitto.log");

  MqttListener inRoom(room.Port(), "vozi/#"), central(broker.Port(), "vozi/#");
  auto recorder = StartRecorder({"--csv"});
  const auto published = t.Path() / "room.csv", publishedEdf = t.Path() / "room.edf";
  const HostRun publisher = RunHost({"--simulate=1", "publish", "--broker", room.Url(), "--samples", "3000", "--csv",
                                     published.string(), "--edf", publishedEdf.string()},
                                    t.Path(), env());
  ASSERT_EQ(publisher.exitCode, 0) << publisher.err;

  // A marker given to the room's broker; a clock request from the central
  // side and a reply from the room.
  const HostRun mark = RunHost({"mark", "--broker", room.Url(), "--sender", "room3", "through the bridge"}, t.Path(), env());
  ASSERT_EQ(mark.exitCode, 0) << mark.err;
  Send(broker.Port(), "vozi/clock/room3-pc/request", "t1");
  Send(room.Port(), "vozi/clock/room3-pc/reply/central", "t1 t2 t3");
  ASSERT_TRUE(inRoom.WaitFor([](const auto& m) { return Count(m, "vozi/clock/room3-pc/request") > 0; }, 30s));
  ASSERT_TRUE(central.WaitFor([](const auto& m) { return Count(m, "vozi/clock/room3-pc/reply/central") > 0; }, 30s));

  WaitForSession([](const Json& s) { return s["markers"].size() == 1 && s["streams"].size() == 1 && !s["streams"][0]["end"].is_null(); });
  kill(recorder->Pid(), SIGINT);
  ASSERT_EQ(recorder->Wait(20s), 0) << recorder->Err();
  const Json session = Json::parse(ReadFile(out() / "session.json"));
  ASSERT_EQ(session["streams"].size(), 1u) << session;
  const Json& stream = session["streams"][0];
  EXPECT_EQ(stream["end"], "stopped (limit)");
  EXPECT_EQ(stream["samples"], 3000);
  EXPECT_EQ(stream["missing"], 0);
  EXPECT_EQ(stream["gaps"], 0);
  ASSERT_EQ(session["markers"].size(), 1u);
  EXPECT_EQ(session["markers"][0]["text"], "through the bridge");

  // The same rows, values and gap column as the publisher's CSV, and its
  // EDF+ file to the byte.
  ASSERT_EQ(stream["files"].size(), 2u) << stream;
  ExpectSameRows(published, out() / stream["files"][0].get<std::string>());
  EXPECT_TRUE(ReadFile(publishedEdf) == ReadFile(out() / stream["files"][1].get<std::string>()));

  // Every message of the instrument crossed once and in order; the markers
  // and clock messages crossed once, and none came back.
  const std::string topics = "vozi/" + stream["topic_id"].get<std::string>();
  const auto roomSaw = inRoom.Messages(), centralSaw = central.Messages();
  for (const char* kind : {"/samples", "/events"}) {
    const auto there = PayloadsOn(centralSaw, topics + kind), here = PayloadsOn(roomSaw, topics + kind);
    EXPECT_EQ(there.size(), here.size()) << kind;
    EXPECT_TRUE(there == here) << kind;
  }
  EXPECT_GE(PayloadsOn(centralSaw, topics + "/samples").size(), 10u);
  for (const char* topic : {"vozi/markers", "vozi/clock/room3-pc/request", "vozi/clock/room3-pc/reply/central"}) {
    EXPECT_EQ(Count(roomSaw, topic), 1u) << topic;
    EXPECT_EQ(Count(centralSaw, topic), 1u) << topic;
  }

  // A subscriber that joins the central broker now is handed the retained
  // info and status of an instrument it never saw stream.
  MqttListener late(broker.Port(), topics + "/+");
  ASSERT_TRUE(late.WaitFor([](const auto& m) { return m.size() >= 2; }, 30s));
  for (const MqttMessage& m : late.Messages()) EXPECT_TRUE(m.retained) << m.topic;
  const std::vector<std::string> info = PayloadsOn(late.Messages(), topics + "/info");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(Json::parse(info[0])["unique_id"], stream["unique_id"]);
  EXPECT_EQ(PayloadsOn(late.Messages(), topics + "/status"), std::vector<std::string>{"offline"});
}

}  // namespace
}  // namespace hosttest
