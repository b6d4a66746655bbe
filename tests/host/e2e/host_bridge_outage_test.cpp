// The link between a room's broker and the central one breaks while an
// instrument streams, and comes back: the room's broker delivers what it
// queued meanwhile, partly after newer batches. The recorder on the central
// broker places those late batches where they belong: its files are the
// publisher's own, row for row, with no gap where nothing was lost.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>

#include "recorder_fixture.h"
#include "room_bridge.h"
#include "tcp_relay.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

// A samples message's first position (little-endian, after format, channels, count).
uint64_t FirstOf(const std::string& batch) {
  uint64_t first = 0;
  for (int k = 7; k >= 0; --k) first = first << 8 | static_cast<unsigned char>(batch.at(8 + k));
  return first;
}

size_t SampleBatches(const std::vector<MqttMessage>& messages) {
  size_t n = 0;
  for (const MqttMessage& m : messages) n += m.topic.size() > 8 && m.topic.rfind("/samples") == m.topic.size() - 8;
  return n;
}

// Batches that came after one with a later position.
size_t Overtaken(const std::vector<std::string>& batches) {
  size_t n = 0;
  uint64_t newest = 0;
  for (const std::string& b : batches) {
    const uint64_t first = FirstOf(b);
    n += first < newest;
    newest = std::max(newest, first);
  }
  return n;
}

class HostBridgeOutage : public RecorderTest {
 protected:
  TcpRelay link{broker.Port()};
  MqttBroker room{t.Path() / "room", {RoomBridge(link.Port()), ""}};
};

TEST_F(HostBridgeOutage, BatchesQueuedWhileTheLinkWasDownAreRecordedAtTheirPlace) {
  MqttListener bridgeState(broker.Port(), "$SYS/broker/connection/vozi-bridge-room3/state");
  const auto linkIs = [&](const char* state) {
    return bridgeState.WaitFor([&](const auto& m) { return !m.empty() && m.back().payload == state; }, 60s);
  };
  ASSERT_TRUE(room.Start()) << ReadFile(t.Path() / "room" / "mosquitto.log");
  ASSERT_TRUE(linkIs("1")) << ReadFile(t.Path() / "room" / "mosquitto.log");

  MqttListener inRoom(room.Port(), "vozi/#"), central(broker.Port(), "vozi/#");
  auto recorder = StartRecorder({"--csv"});
  const auto published = t.Path() / "room.csv";
  std::filesystem::create_directories(t.Path() / "publisher");
  HostProcess publisher({"--simulate=1", "publish", "--broker", room.Url(), "--samples", "15000", "--csv",
                         published.string()},
                        env(), t.Path() / "publisher");

  // Streaming through the link; then the link breaks while the room's
  // broker takes some 4 s of batches more, and comes back.
  ASSERT_TRUE(central.WaitFor([](const auto& m) { return SampleBatches(m) >= 20; }, 60s)) << publisher.Err();
  link.Cut();
  ASSERT_TRUE(linkIs("0"));
  const size_t atCut = SampleBatches(inRoom.Messages());
  ASSERT_TRUE(inRoom.WaitFor([&](const auto& m) { return SampleBatches(m) >= atCut + 80; }, 60s));
  // The room's broker sends its queue first: a few of its batches are made
  // to reach the central broker after newer ones, as happens now and then.
  link.HoldBackOnNextConnection(5, 40);
  link.Restore();
  ASSERT_TRUE(linkIs("1"));
  ASSERT_EQ(publisher.Wait(120s), 0) << publisher.Err();

  WaitForSession([](const Json& s) { return s["streams"].size() == 1 && !s["streams"][0]["end"].is_null(); });
  kill(recorder->Pid(), SIGINT);
  ASSERT_EQ(recorder->Wait(60s), 0) << recorder->Err();
  const Json session = Json::parse(ReadFile(out() / "session.json"));
  ASSERT_EQ(session["streams"].size(), 1u) << session;
  const Json& stream = session["streams"][0];
  const std::string topic = "vozi/" + stream["topic_id"].get<std::string>() + "/samples";

  // The central broker delivered every batch, some after newer ones (and
  // one sent when the link broke may come twice: QoS 1 sends it again); the
  // recorder saw those late and placed them.
  const auto there = PayloadsOn(central.Messages(), topic), here = PayloadsOn(inRoom.Messages(), topic);
  EXPECT_TRUE(std::set<std::string>(there.begin(), there.end()) == std::set<std::string>(here.begin(), here.end()));
  EXPECT_EQ(session["skipped"]["repeated"], there.size() - std::set<std::string>(there.begin(), there.end()).size());
  RecordProperty("late_batches", stream["late_batches"].get<int>());
  RecordProperty("delivered_after_newer", static_cast<int>(Overtaken(there)));
  EXPECT_EQ(link.HeldBack(), 5u);
  EXPECT_GT(Overtaken(there), 0u) << "the central broker delivered every batch in order: nothing came late";
  EXPECT_GT(stream["late_batches"].get<int>(), 0) << stream;
  EXPECT_NE(recorder->Out().find("  " + std::to_string(stream["late_batches"].get<int>()) +
                                 " batches came after newer ones and were written at their place\n"),
            std::string::npos)
      << recorder->Out();
  EXPECT_EQ(session["skipped"]["past_wait"], 0) << session["skipped"];
  EXPECT_EQ(session["skipped"]["refused"], 0) << session["skipped"];
  EXPECT_EQ(stream["end"], "stopped (limit)");
  EXPECT_EQ(stream["samples"], 15000);
  EXPECT_EQ(stream["gaps"], 0);
  EXPECT_EQ(stream["missing"], 0);

  // Row for row the publisher's own CSV: values and gap column.
  ASSERT_EQ(stream["files"].size(), 2u) << stream;
  ExpectSameRows(published, out() / stream["files"][0].get<std::string>());
}

}  // namespace
}  // namespace hosttest
