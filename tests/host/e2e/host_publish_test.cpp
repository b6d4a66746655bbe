// "vozi-host publish" against the real mosquitto on the loopback: what
// arrives on the broker is what the CSV of the same run holds, the broker's
// last will marks a killed publisher offline, a broker lost mid-run costs
// the subscribers a marked stretch and the local recording nothing, and an
// unreachable broker is said plainly.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <thread>

#include "host_process.h"
#include "mqtt_broker.h"
#include "reaping_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr int kExitBroker = 10;

struct Batch {
  uint16_t format = 0, channels = 0;
  uint32_t count = 0;
  uint64_t first = 0;
  int64_t hostTimeUs = 0;
  int64_t streamUs = 0;
  std::vector<float> values;
};

template <typename T>
T Little(const std::string& bytes, size_t at) {
  uint64_t v = 0;
  for (size_t k = 0; k < sizeof(T); ++k) v |= uint64_t(static_cast<unsigned char>(bytes[at + k])) << (8 * k);
  return static_cast<T>(v);
}

// The documented layout, and nothing else: a message of any other length
// fails the test.
Batch Decode(const std::string& bytes) {
  Batch b;
  EXPECT_GE(bytes.size(), 32u);
  if (bytes.size() < 32) return b;
  b.format = Little<uint16_t>(bytes, 0);
  b.channels = Little<uint16_t>(bytes, 2);
  b.count = Little<uint32_t>(bytes, 4);
  b.first = Little<uint64_t>(bytes, 8);
  b.hostTimeUs = Little<int64_t>(bytes, 16);
  b.streamUs = Little<int64_t>(bytes, 24);
  EXPECT_EQ(bytes.size(), 32 + 4ull * b.count * b.channels);
  for (size_t at = 32; at + 4 <= bytes.size(); at += 4) {
    const uint32_t bits = Little<uint32_t>(bytes, at);
    float f;
    std::memcpy(&f, &bits, 4);
    b.values.push_back(f);
  }
  return b;
}

std::vector<Batch> Batches(const std::vector<MqttMessage>& messages, const std::string& topic) {
  std::vector<Batch> batches;
  for (const std::string& p : PayloadsOn(messages, topic)) batches.push_back(Decode(p));
  return batches;
}

std::vector<Json> Events(const std::vector<MqttMessage>& messages, const std::string& topic) {
  std::vector<Json> events;
  for (const std::string& p : PayloadsOn(messages, topic)) events.push_back(Json::parse(p));
  return events;
}

// The CSV's header (without comments) and rows as fields.
std::vector<std::vector<std::string>> CsvRows(const std::filesystem::path& csv) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& l : Lines(ReadFile(csv))) {
    if (l.rfind("#", 0) != 0) rows.push_back(Split(l, ','));
  }
  return rows;
}

// The instrument's topic: "vozi/<unique id>", from the CSV's comment line.
std::string TopicOf(const std::filesystem::path& csv) {
  for (const std::string& l : Lines(ReadFile(csv))) {
    const size_t at = l.find(", unique id ");
    if (l.rfind("# instrument:", 0) == 0 && at != std::string::npos) return "vozi/" + l.substr(at + 12);
  }
  return {};
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class HostPublish : public ReapingHostTest {
 protected:
  void SetUp() override {
    ReapingHostTest::SetUp();
    ASSERT_TRUE(broker.Start()) << ReadFile(t.Path() / "broker" / "mosquitto.log");
  }
  Env env() const { return {{"TMPDIR", tmp().string()}}; }

  MqttBroker broker{t.Path() / "broker"};
};

TEST_F(HostPublish, SamplesOnTheBrokerEqualTheCsvOfTheSameRun) {
  MqttListener listener(broker.Port(), "vozi/#");
  const int64_t before = NowUs();
  const HostRun run = RunHost({"--simulate=2", "publish", "--broker", broker.Url(), "--samples", "300", "--csv",
                               (t.Path() / "run.csv").string()},
                              t.Path(), env());
  const int64_t after = NowUs();
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char* name : {"run-0.csv", "run-1.csv"}) {
    const auto rows = CsvRows(t.Path() / name);
    ASSERT_EQ(rows.size(), 301u) << name;
    const std::string topic = TopicOf(t.Path() / name);
    // The goodbye comes last; everything before it has arrived by then.
    ASSERT_TRUE(listener.WaitFor(
        [&](const auto& m) {
          const auto s = PayloadsOn(m, topic + "/status");
          return !s.empty() && s.back() == "offline";
        },
        10s))
        << topic;
    const auto messages = listener.Messages();

    const auto infos = PayloadsOn(messages, topic + "/info");
    ASSERT_FALSE(infos.empty());
    const Json info = Json::parse(infos.back());
    EXPECT_EQ(info["format"], 2);
    const int64_t stream = info["started_us"].get<int64_t>();
    EXPECT_GE(stream, before);
    EXPECT_LE(stream, after);
    EXPECT_EQ("vozi/" + info["unique_id"].get<std::string>(), topic);
    EXPECT_EQ(info["period_us"], 1000);
    ASSERT_EQ(info["channels"].size() + 2, rows[0].size());
    for (size_t k = 0; k < info["channels"].size(); ++k) {
      const Json& c = info["channels"][k];
      EXPECT_EQ(c["name"].get<std::string>() + " (" + c["units"].get<std::string>() + ")", rows[0][k + 1]);
      EXPECT_LT(c["min"].get<double>(), c["max"].get<double>());
    }
    EXPECT_EQ(PayloadsOn(messages, topic + "/status"), (std::vector<std::string>{"online", "offline"}));
    const auto events = Events(messages, topic + "/events");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "start");
    EXPECT_EQ(events[1]["event"], "stop");
    EXPECT_EQ(events[1]["reason"], "limit");
    EXPECT_EQ(events[1]["position"], 300);
    for (const Json& e : events) EXPECT_EQ(e["stream"], stream) << e;

    const auto batches = Batches(messages, topic + "/samples");
    // In batches, not a message per sample.
    EXPECT_LT(batches.size(), 100u);
    uint64_t next = 0;
    for (const Batch& b : batches) {
      EXPECT_EQ(b.format, 2);
      EXPECT_EQ(b.streamUs, stream);
      ASSERT_EQ(b.channels, info["channels"].size());
      ASSERT_EQ(b.first, next) << "positions must follow on without a gap";
      EXPECT_GE(b.hostTimeUs, before);
      EXPECT_LE(b.hostTimeUs, after);
      for (uint32_t n = 0; n < b.count; ++n) {
        const auto& row = rows[1 + b.first + n];
        for (size_t k = 0; k < b.channels; ++k) {
          const double csv = std::stod(row[k + 1]);
          // The CSV rounds to 7 significant digits (up to half a unit of
          // the 7th digit off), the batch carries float32.
          EXPECT_NEAR(b.values[n * b.channels + k], csv, std::abs(csv) * 6e-7 + 1e-9)
              << topic << " sample " << b.first + n << " channel " << k;
        }
      }
      next = b.first + b.count;
    }
    EXPECT_EQ(next, 300u);
  }
}

// A flooded ring loses lines: each place the CSV marks has its gap event
// (same position, same count), and the batches' positions jump there and
// nowhere else.
TEST_F(HostPublish, GapsAreMarkedWhereTheCsvMarksThem) {
  MqttListener listener(broker.Port(), "vozi/#");
  const auto csv = t.Path() / "flood.csv";
  const HostRun run = RunHost({"--simulate", "--sim-arg=--burst", "--sim-arg=--channels=27", "publish", "--broker",
                               broker.Url(), "--samples", "30000", "--allow-loss", "--csv", csv.string()},
                              t.Path(), env(), 180s);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string topic = TopicOf(csv);
  ASSERT_TRUE(listener.WaitFor([&](const auto& m) { return PayloadsOn(m, topic + "/status").size() == 2; }, 10s));
  std::map<uint64_t, int64_t> marked;  // position -> the CSV's gap column
  for (const auto& row : CsvRows(csv)) {
    if (row[0] == "time_s" || row.back() == "0") continue;
    marked[static_cast<uint64_t>(std::llround(std::stod(row[0]) * 1000))] = std::stoll(row.back());
  }
  ASSERT_FALSE(marked.empty()) << "the flood lost nothing: no gap to compare";
  const auto messages = listener.Messages();
  std::map<uint64_t, int64_t> events;
  for (const Json& e : Events(messages, topic + "/events")) {
    if (e["event"] != "gap") continue;
    events[e["position"].get<uint64_t>()] = e["count"].is_null() ? -1 : e["count"].get<int64_t>();
    EXPECT_EQ(e["cause"], "ring-full") << e;
  }
  EXPECT_EQ(events.size(), marked.size());
  for (const auto& [position, gap] : marked) {
    EXPECT_TRUE(events.count(position) && events[position] == gap) << "the CSV marks " << gap << " at " << position;
  }
  uint64_t next = 0;
  for (const Batch& b : Batches(messages, topic + "/samples")) {
    if (b.first != next) {
      ASSERT_TRUE(marked.count(b.first)) << "a jump from " << next << " to " << b.first << " the CSV does not mark";
      if (marked[b.first] > 0) {
        EXPECT_EQ(b.first - next, static_cast<uint64_t>(marked[b.first]));
      }
    }
    next = b.first + b.count;
  }
  const auto all = Events(messages, topic + "/events");
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back()["event"], "stop");
  EXPECT_EQ(all.back()["position"], next);
}

TEST_F(HostPublish, KillingThePublisherLeavesItOfflineThroughTheLastWill) {
  MqttListener listener(broker.Port(), "vozi/#");
  HostProcess host({"--simulate", "publish", "--broker", broker.Url()}, env(), t.Path());
  std::string topic;
  ASSERT_TRUE(listener.WaitFor(
      [&](const auto& messages) {
        for (const MqttMessage& m : messages) {
          if (m.topic.size() > 8 && m.topic.rfind("/samples") == m.topic.size() - 8) {
            topic = m.topic.substr(0, m.topic.size() - 8);
            return PayloadsOn(messages, topic + "/status") == std::vector<std::string>{"online"};
          }
        }
        return false;
      },
      30s))
      << host.Err();
  kill(host.Pid(), SIGKILL);
  EXPECT_TRUE(listener.WaitFor(
      [&](const auto& messages) {
        return PayloadsOn(messages, topic + "/status") == std::vector<std::string>{"online", "offline"};
      },
      30s));
  host.Wait(10s);
}

TEST_F(HostPublish, BrokerLostMidRunCostsTheSubscribersAMarkedStretchAndTheFilesNothing) {
  MqttListener listener(broker.Port(), "vozi/#");
  const auto csv = t.Path() / "run.csv";
  HostProcess host({"--simulate", "publish", "--broker", broker.Url(), "--csv", csv.string()}, env(), t.Path());
  ASSERT_TRUE(listener.WaitFor([](const auto& m) { return m.size() > 5; }, 30s)) << host.Err();
  broker.Stop();
  // The recording goes on meanwhile: batches fall due with no broker.
  const size_t rows = CsvRows(csv).size();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (CsvRows(csv).size() < rows + 500) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << host.Err();
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(broker.Start());
  const std::string topic = TopicOf(csv);
  // The publisher reconnects on its own, says what it could not publish,
  // and goes on.
  Json unpublished;
  ASSERT_TRUE(listener.WaitFor(
      [&](const auto& messages) {
        bool seen = false;
        for (const Json& e : Events(messages, topic + "/events")) {
          if (e["event"] == "unpublished") {
            unpublished = e;
            seen = true;
          }
        }
        if (!seen) return false;
        for (const Batch& b : Batches(messages, topic + "/samples")) {
          if (b.first > unpublished["position"].get<uint64_t>()) return true;
        }
        return false;
      },
      60s))
      << host.Err();
  kill(host.Pid(), SIGINT);
  ASSERT_EQ(host.Wait(30s), kExitBroker) << host.Err();

  // The local recording: every sample, none marked missing.
  const auto all = CsvRows(csv);
  ASSERT_GT(all.size(), rows + 500);
  for (size_t r = 1; r < all.size(); ++r) ASSERT_EQ(all[r].back(), "0") << "row " << r;

  // On the broker: the positions jump over the batches the event counts.
  const uint64_t from = unpublished["position"].get<uint64_t>();
  const uint64_t count = unpublished["count"].get<uint64_t>();
  EXPECT_GE(count, 5u);
  uint64_t next = 0;
  bool jumped = false;
  // Batches handed over just before the break may be lost, or sent again
  // once connected (QoS 1) and arrive twice: jumps before `from` and whole
  // repeats are allowed, and one jump covers what the event counts.
  for (const Batch& b : Batches(listener.Messages(), topic + "/samples")) {
    if (b.first < next) {
      EXPECT_LE(b.first + b.count, next) << "a batch overlaps what arrived at " << b.first;
      continue;
    }
    if (b.first > from && next <= from) {
      EXPECT_FALSE(jumped);
      jumped = true;
      // At most 50 ms of samples a batch at 1 kHz (plus a pass's delay).
      EXPECT_GE(b.first - from, count);
    } else if (b.first != next) {
      EXPECT_LE(b.first, from) << "a jump at " << b.first << " after the one the event counts";
    }
    next = b.first + b.count;
  }
  EXPECT_TRUE(jumped);
  EXPECT_NE(host.Out().find(std::to_string(count) + " could not be published"), std::string::npos) << host.Out();
}

bool AnySamples(const std::vector<MqttMessage>& messages) {
  for (const MqttMessage& m : messages) {
    if (m.topic.size() > 8 && m.topic.compare(m.topic.size() - 8, 8, "/samples") == 0) return true;
  }
  return false;
}

// Only what the broker acknowledged counts as published: a broker that
// refuses the prefix, stops reading, or goes away leaves a summary that says
// so, and exit code 10 where the run was otherwise a success.
TEST_F(HostPublish, WhatTheBrokerDidNotTakeIsSaidAndTheExitCodeIs10) {
  const auto acl = t.Path() / "acl";
  std::ofstream(acl) << "topic readwrite lab/#\n";
  // (mosquitto 2.0.11 drops a client whose publish it denies when
  // max_queued_messages is 0, unlimited: a bounded queue here.)
  const BrokerConfig forbidding{"allow_anonymous true\nmax_queued_messages 1000\nacl_file " + acl.string() + "\n", ""};
  struct Case {
    const char* what;
    BrokerConfig config;
    std::function<void(MqttBroker&)> meanwhile;  // once samples flow
    std::vector<std::string> said;               // in the output, in this order
  };
  const Case cases[] = {
      {"an ACL forbids the prefix", forbidding, nullptr,
       {"vozi-host: the broker refused vozi/42/info: Not authorized", ": 0 batches; ", " refused by the broker"}},
      {"the broker stops reading", {}, [](MqttBroker& b) { ASSERT_EQ(kill(b.Pid(), SIGSTOP), 0); },
       {" never acknowledged (the broker stopped answering)"}},
      {"the broker is stopped mid-run", {}, [](MqttBroker& b) { b.Stop(); },
       {"could not be published (the broker was unreachable"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MqttBroker own(t.Path() / ("broker" + std::to_string(++n)), c.config);
    ASSERT_TRUE(own.Start());
    std::optional<MqttListener> listener;
    if (c.meanwhile) listener.emplace(own.Port(), "vozi/#");
    HostProcess host({"--simulate", "publish", "--broker", own.Url(), "--samples", "3000"}, env(), t.Path());
    if (c.meanwhile) {
      ASSERT_TRUE(listener->WaitFor(AnySamples, 30s)) << host.Err();
      c.meanwhile(own);
    }
    const auto code = host.Wait(60s);
    if (own.Pid() > 0) kill(own.Pid(), SIGCONT);
    EXPECT_EQ(code, kExitBroker) << host.Err();
    const std::string all = host.Err() + host.Out();
    size_t at = 0;
    for (const std::string& text : c.said) {
      at = all.find(text, at);
      ASSERT_NE(at, std::string::npos) << "missing \"" << text << "\" in:\n" << all;
    }
  }
}

// What cannot work is a usage error before anything starts, in a sentence
// that names the cause; a FIFO as the password file must not block the open.
TEST_F(HostPublish, BadPrefixesAndPasswordsAreUsageErrors) {
  const auto empty = t.Path() / "empty", fifo = t.Path() / "fifo", password = t.Path() / "password";
  std::ofstream(empty).close();
  std::ofstream(password) << "secret\n";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    Env env;
    std::string said;
  };
  const Case cases[] = {
      {{"--prefix", "lab/\xff\xfe"}, {}, "--prefix must be UTF-8 text"},
      {{"--prefix", "lab/\x01x"}, {}, "--prefix holds a control character"},
      {{"--prefix", "lab/+"}, {}, "--prefix must be one or more topic levels without wildcards"},
      {{"--prefix", "$SYS/vozi"}, {}, "--prefix must not start with $"},
      {{"--prefix", std::string(70000, 'v')}, {}, "--prefix is longer than 65471 bytes"},
      {{"--password-file", password.string()}, {}, "--password-file needs --username"},
      {{}, {{"VOZI_MQTT_PASSWORD", "secret"}}, "VOZI_MQTT_PASSWORD is set but --username is not"},
      {{"--username", "u", "--password-file", empty.string()}, {}, "cannot read " + empty.string() + ": it is empty"},
      {{"--username", "u", "--password-file", fifo.string()}, {}, "it is not a regular file"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--simulate", "publish", "--broker", broker.Url(), "--samples", "10"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Env e = env();
    e.insert(e.end(), c.env.begin(), c.env.end());
    const HostRun run = RunHost(args, t.Path(), e, 20s);
    EXPECT_EQ(run.exitCode, 2) << c.said << "\n" << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("simulated instrument"), std::string::npos) << "started before the check: " << run.err;
  }
  // help lists every command's own options, not just the commands.
  const HostRun help = RunHost({"help"}, t.Path(), env());
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--probe", "--edf", "--password-file", "--web"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

TEST_F(HostPublish, UnreachableBrokerIsSaidPlainly) {
  const std::string nowhere = "mqtt://127.0.0.1:" + std::to_string(FreeLoopbackPort());
  HostRun run = RunHost({"--simulate", "publish", "--broker", nowhere, "--samples", "100"}, t.Path(), env());
  EXPECT_EQ(run.exitCode, kExitBroker);
  EXPECT_NE(run.err.find("vozi-host: cannot reach the broker " + nowhere + ": Connection refused\n"),
            std::string::npos)
      << run.err;

  // With a file to write, the recording goes on.
  const auto csv = t.Path() / "kept.csv";
  run = RunHost({"--simulate", "publish", "--broker", nowhere, "--samples", "100", "--csv", csv.string()},
                t.Path(), env());
  EXPECT_EQ(run.exitCode, kExitBroker);
  EXPECT_NE(run.err.find("cannot reach the broker " + nowhere + ": Connection refused\n"
                         "vozi-host: recording to the files goes on"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(CsvRows(csv).size(), 101u);
  EXPECT_NE(run.out.find("the broker never answered"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace hosttest
