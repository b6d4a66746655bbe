// "vozi-host monitor" with its private broker: listening on the loopback
// alone, written to by its publisher alone, and its death the monitor's end.
// And the temporary folders of owners killed outright go at the next start.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "host_process.h"
#include "mqtt_broker.h"
#include "reaping_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

constexpr int kExitBroker = 10;

// The local addresses of the sockets listening on `port`, as the kernel lists
// them ("0100007F" is 127.0.0.1 on a little-endian machine; an IPv6 table
// entry has 32 digits).
std::vector<std::string> ListenersOn(int port) {
  char hexPort[8];
  std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
  std::vector<std::string> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, hexPort) == 0) {
        found.push_back(local.substr(0, local.size() - 5));
      }
    }
  }
  return found;
}

pid_t BrokerOf(const HostProcess& host) {
  const std::string pid = std::to_string(host.Pid());
  std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
  for (pid_t child = 0; children >> child;) {
    if (ReadFile("/proc/" + std::to_string(child) + "/comm") == "mosquitto\n") return child;
  }
  return 0;
}

class HostPublishMonitor : public ReapingHostTest {
 protected:
  Env env() const { return {{"TMPDIR", tmp().string()}}; }
};

TEST_F(HostPublishMonitor, PrivateBrokerIsOnTheLoopbackOnlyThePublisherWritesAndItsDeathEndsTheRun) {
  // The sanitizer builds make no page; any folder of files serves here.
  const auto page = t.Path() / "page";
  std::filesystem::create_directories(page);
  std::ofstream(page / "index.html") << "<!doctype html><title>monitor</title>\n";
  HostProcess host({"--simulate", "monitor", "--web", page.string()}, env(), t.Path());
  const std::regex addresses("open http://127\\.0\\.0\\.1:(\\d+)/[\\s\\S]*mqtt://127\\.0\\.0\\.1:(\\d+)[\\s\\S]*-> vozi/42");
  std::smatch m;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  std::string out;
  while (!std::regex_search(out = host.Out(), m, addresses)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << host.Err();
    std::this_thread::sleep_for(20ms);
  }
  const int webPort = std::stoi(m[1]), mqttPort = std::stoi(m[2]);

  // Both listeners, the page's WebSockets one included, on 127.0.0.1 only.
  for (const int port : {webPort, mqttPort}) {
    EXPECT_EQ(ListenersOn(port), std::vector<std::string>{"0100007F"}) << "port " << port;
  }

  // Anonymous clients may not replace the instrument's info or status, nor
  // plant an instrument; they may read.
  const std::string pub = "mosquitto_pub -V mqttv5 -q 1 -r -p " + std::to_string(mqttPort);
  for (const char* attempt : {" -t vozi/42/info -m '{}'", " -t vozi/42/status -m offline", " -t vozi/999/info -m '{}'"}) {
    ASSERT_NE(std::system((pub + attempt + " 2>/dev/null").c_str()), -1);
  }
  // A wrong password for the publisher's user is refused too.
  EXPECT_NE(std::system((pub + " -u vozi-host -P guess -t vozi/999/info -m '{}' 2>/dev/null").c_str()), 0);
  MqttListener reader(mqttPort, "vozi/#");
  ASSERT_TRUE(reader.WaitFor(
      [](const auto& messages) {
        for (const MqttMessage& msg : messages) {
          if (msg.topic == "vozi/42/samples") return true;
        }
        return false;
      },
      30s));
  const auto messages = reader.Messages();
  EXPECT_TRUE(PayloadsOn(messages, "vozi/999/info").empty());
  EXPECT_EQ(PayloadsOn(messages, "vozi/42/status"), std::vector<std::string>{"online"});
  const auto info = PayloadsOn(messages, "vozi/42/info");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_NE(info[0].find("\"format\":2"), std::string::npos) << info[0];

  // The broker dies: the monitor says so and ends, exit code 10.
  const pid_t broker = BrokerOf(host);
  ASSERT_GT(broker, 0);
  ASSERT_EQ(kill(broker, SIGKILL), 0);
  EXPECT_EQ(host.Wait(30s), kExitBroker) << host.Err();
  EXPECT_NE(host.Err().find("the monitor's broker (mosquitto) ended on its own (killed by signal"),
            std::string::npos)
      << host.Err();
  ExpectTreeAndSimulatorsGone();
}

// SIGKILL leaves no chance to clean up: the next start removes the folders
// whose owner is gone, and leaves those of a live owner alone.
TEST_F(HostPublishMonitor, FoldersOfOwnersKilledOutrightGoAtTheNextStart) {
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const auto deadFolder = tmp() / ("vozi-host-" + std::to_string(dead) + "-AbCdEf");
  const auto liveFolder = tmp() / ("vozi-host-" + std::to_string(getpid()) + "-AbCdEf");
  for (const auto& folder : {deadFolder, liveFolder}) {
    std::filesystem::create_directories(folder / "dev");
    std::ofstream(folder / "dev" / "left") << "x";
  }
  const HostRun run = RunHost({"--simulate", "list"}, t.Path(), env());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(deadFolder));
  EXPECT_TRUE(std::filesystem::exists(liveFolder / "dev" / "left"));
}

}  // namespace
}  // namespace hosttest
