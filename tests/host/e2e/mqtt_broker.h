#pragma once
// The real Debian mosquitto on the loopback, on a free port, for tests that
// publish: started and stopped by the test (also restarted, to lose the
// connection mid-run), and a listener that records every message it gets.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace hosttest {

// A port nothing listens on at the moment.
int FreeLoopbackPort();

// What a broker of a test's own takes beyond the plain anonymous listener:
// lines for the whole broker (password_file, acl_file, allow_anonymous
// false; they come last, so they override the defaults) and for the
// listener (certfile, keyfile: TLS).
struct BrokerConfig {
  std::string global;
  std::string listener;
};

class MqttBroker {
 public:
  // Keeps its configuration and its saved state in `folder`. The saved
  // state lets a listener's session outlive a restart.
  explicit MqttBroker(const std::filesystem::path& folder, const BrokerConfig& config = {});
  ~MqttBroker();
  MqttBroker(const MqttBroker&) = delete;
  MqttBroker& operator=(const MqttBroker&) = delete;

  // Starts mosquitto and waits until it accepts connections.
  bool Start();
  // Asks it to end (it saves its state) and waits for it.
  void Stop();
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  std::filesystem::path config_, log_;
  int port_ = 0;
  pid_t pid_ = -1;
};

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// Subscribes to everything under `filter` with QoS 1 in a session the broker
// keeps (so that nothing published while it was away is missed after a
// restart), and records the messages in order of arrival.
class MqttListener {
 public:
  // Returns once the broker has confirmed the subscription (at most 10 s).
  MqttListener(int port, const std::string& filter);
  ~MqttListener();
  MqttListener(const MqttListener&) = delete;
  MqttListener& operator=(const MqttListener&) = delete;

  // Waits until `done` holds for the messages so far; false after `timeout`.
  bool WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done, std::chrono::milliseconds timeout);
  std::vector<MqttMessage> Messages();

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  std::string filter_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<MqttMessage> messages_;
  bool subscribed_ = false;
};

// The messages on one topic, in order.
std::vector<std::string> PayloadsOn(const std::vector<MqttMessage>& messages, const std::string& topic);

}  // namespace hosttest
