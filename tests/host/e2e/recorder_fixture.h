#pragma once
// What the recorder's tests share: a real mosquitto on a free loopback port,
// `vozi-host record` started into a folder of the test's, and its
// session.json waited for.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"
#include "mqtt_broker.h"
#include "reaping_fixture.h"

namespace hosttest {

using Json = nlohmann::json;

inline int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// time_s -> the rest of the row (values, gap), from a CSV without its comments.
inline std::map<std::string, std::vector<std::string>> RowsByTime(const std::filesystem::path& csv) {
  std::map<std::string, std::vector<std::string>> rows;
  bool header = true;
  for (const std::string& l : Lines(ReadFile(csv))) {
    if (l.rfind("#", 0) == 0) continue;
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> fields = Split(l, ',');
    const std::string time = fields[0];
    fields.erase(fields.begin());
    rows[time] = fields;
  }
  return rows;
}

// A recorded CSV holds the publisher's rows: the same times, gap column and
// values (within what float32 keeps of them).
inline void ExpectSameRows(const std::filesystem::path& published, const std::filesystem::path& recorded) {
  const auto want = RowsByTime(published);
  const auto got = RowsByTime(recorded);
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [time, row] : got) {
    const auto w = want.find(time);
    ASSERT_NE(w, want.end()) << "a row at " << time << " the publisher never wrote";
    ASSERT_EQ(row.size(), w->second.size());
    EXPECT_EQ(row.back(), w->second.back()) << time;
    for (size_t k = 0; k + 1 < row.size(); ++k) {
      const double p = std::stod(w->second[k]), r = std::stod(row[k]);
      ASSERT_NEAR(r, p, std::abs(p) * 1.5e-6 + 1e-9) << time << " column " << k;
    }
  }
}

class RecorderTest : public ReapingHostTest {
 protected:
  void SetUp() override {
    ReapingHostTest::SetUp();
    ASSERT_TRUE(broker.Start()) << ReadFile(t.Path() / "broker" / "mosquitto.log");
  }
  Env env() const { return {{"TMPDIR", tmp().string()}}; }
  std::filesystem::path out() const { return t.Path() / "rec"; }

  // The recorder, once it has the broker's word that it is subscribed.
  std::unique_ptr<HostProcess> StartRecorder(std::vector<std::string> extra = {}) {
    using namespace std::chrono_literals;
    std::vector<std::string> args{"record", "--broker", broker.Url(), "--out", out().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto p = std::make_unique<HostProcess>(args, env(), t.Path());
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
      if (p->Out().find("recording ") != std::string::npos) return p;
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "the recorder did not start: " << p->Err();
    return p;
  }

  // session.json once `done` holds for it (it is rewritten as streams end).
  Json WaitForSession(const std::function<bool(const Json&)>& done) {
    using namespace std::chrono_literals;
    Json session;
    for (auto until = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < until;) {
      session = Json::parse(ReadFile(out() / "session.json"), nullptr, false);
      if (!session.is_discarded() && done(session)) return session;
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "session.json never came to hold what was expected: " << session.dump();
    return session;
  }

  MqttBroker broker{t.Path() / "broker"};
};

}  // namespace hosttest
