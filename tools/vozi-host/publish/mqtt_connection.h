#pragma once
// One connection to the broker through libmosquitto, with its network
// thread. The broker keeps a last will for it (a retained message it
// publishes when the connection ends without a goodbye). When the
// connection is lost, libmosquitto's thread reconnects with growing pauses;
// the owner asks Connected() before it hands over samples, and
// Connections() tells it that a new connection began (to announce itself
// again: a restarted broker may have forgotten its retained messages).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include "publish/broker_settings.h"

struct mosquitto;

namespace vozihost {

class MqttConnection {
 public:
  MqttConnection(const std::string& clientId, const BrokerSettings& settings, const std::string& willTopic,
                 const std::string& willPayload);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  // Connects and waits at most `wait` for the broker's answer. False with
  // the reason ("Connection refused", "not authorised", ...) when that
  // fails; the network thread goes on trying either way.
  bool Start(std::chrono::milliseconds wait, std::string* reason);
  // Starts the network thread without waiting for the network: for more
  // connections to a broker that did not answer the first.
  void StartInBackground();
  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  // Successful connections so far.
  unsigned Connections() const { return connections_.load(std::memory_order_acquire); }
  // Hands a message to libmosquitto. QoS 1 messages wait in its queue while
  // the connection is down; the owner decides whether to send QoS 0 ones then.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
  // The last message with QoS 1 (the goodbye), acknowledged within `wait`
  // if the connection is up, then a clean disconnect: no last will.
  void Finish(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait);

 private:
  bool Prepare(std::string* reason);
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  BrokerSettings settings_;
  mosquitto* mosq_ = nullptr;
  bool threadRunning_ = false;
  std::atomic<bool> connected_{false};
  std::atomic<unsigned> connections_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  int refusal_ = 0;          // the broker's CONNACK code when it refused
  std::string failure_;      // libmosquitto's last error (a TLS failure shows only there)
  bool watchAcks_ = false;   // while finishing: acknowledged messages are noted
  std::set<int> acked_;
};

}  // namespace vozihost
