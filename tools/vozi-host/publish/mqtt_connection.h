#pragma once
// One connection to the broker through libmosquitto, with its network
// thread, in MQTT 5 (3.1.1 with a broker that speaks only that): there a
// broker answers a QoS 1 message it refuses (an ACL that forbids the topic)
// with a reason code, where MQTT 3.1.1 drops it silently. Every QoS 1 message is therefore followed until the broker has
// acknowledged it, and what it refused, and why, is kept. The broker keeps a
// last will for the connection (a retained message it publishes when the
// connection ends without a goodbye). When the
// connection is lost, libmosquitto's thread reconnects with growing pauses;
// the owner asks Connected() before it hands over samples, and
// Connections() tells it that a new connection began (to announce itself
// again: a restarted broker may have forgotten its retained messages).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "publish/broker_settings.h"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace vozihost {

class MqttConnection {
 public:
  // An empty willTopic: no last will (a connection that only subscribes).
  MqttConnection(const std::string& clientId, const BrokerSettings& settings, const std::string& willTopic,
                 const std::string& willPayload);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  // Connects and waits at most `wait` for the broker's answer. False with
  // the reason, one sentence naming the cause ("Connection refused", the
  // user name or password, the certificate, ...), when that fails; the
  // network thread goes on trying either way.
  bool Start(std::chrono::milliseconds wait, std::string* reason);
  // Starts the network thread without waiting for the network: for more
  // connections to a broker that did not answer the first.
  void StartInBackground();
  // A subscriber: before Start, the topic filters (with the QoS to subscribe
  // with) and what receives each message, on the network thread. The
  // connection starts clean, so the filters are subscribed again on every
  // connection.
  using MessageHandler = std::function<void(const std::string& topic, std::string payload)>;
  void Subscribe(std::vector<std::pair<std::string, int>> filters, MessageHandler handler);
  // Waits at most `wait` until the broker has answered every filter on the
  // current connection: from then on nothing published is missed. A filter
  // it refused (its ACL) is a refusal, for TakeRefusal.
  bool WaitSubscribed(std::chrono::milliseconds wait);
  // Before Start: answer the clock exchanges asked of `clockName` under
  // `prefix` (publish/clock_messages.h), on the network thread, the
  // arrival's time taken before anything else. Answers are bounded to a
  // rate no honest recorder needs.
  void AnswerClock(const std::string& prefix, const std::string& clockName);
  // Before Start: one more filter whose refusal by the broker (its ACL) is
  // no failure of the connection's purpose: said by OptionalRefusals, not
  // TakeRefusal.
  void SubscribeOptional(const std::string& filter, int qos);
  std::vector<std::string> OptionalRefusals() const;
  // Clock requests answered so far, and when the last came (steady clock).
  uint64_t ClockRequestsAnswered() const;
  std::chrono::steady_clock::time_point LastClockRequest() const;
  // Hands a message over with QoS 0 (nothing is followed): for clock
  // exchanges, where a message sent again would measure the resend.
  bool PublishQuick(const std::string& topic, const std::string& payload);
  // Before Start: this connection measures clocks (AnswerClock implies it):
  // every arrival is acknowledged at once, so that a broker holding small
  // messages for the acknowledgement of the last (Nagle) holds them briefly.
  void TakePartInClockExchanges();
  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  // Successful connections so far.
  unsigned Connections() const { return connections_.load(std::memory_order_acquire); }
  // Hands a message to libmosquitto, with QoS 1: it waits in libmosquitto's
  // queue while the connection is down (the owner decides whether to hand
  // over samples then), and the broker answers it. `counted`: a message whose
  // answer Acknowledged() and Refused() count.
  bool Publish(const std::string& topic, const std::string& payload, bool retain, bool counted = false);
  // Counted messages the broker took; those it refused; the bytes of those
  // not answered yet.
  uint64_t Acknowledged() const;
  uint64_t Refused() const;
  size_t OutstandingBytes() const;
  // The first refusal (any QoS 1 message) not yet taken: the topic and the
  // broker's reason ("Not authorized").
  std::optional<std::string> TakeRefusal();
  // Why the connection fails while it keeps trying in the background (empty
  // while connected or untried): for a summary.
  std::string BackgroundFailure();
  // The last message with QoS 1 (the goodbye), acknowledged within `wait`
  // if the connection is up, then a clean disconnect: no last will. An
  // empty topic: no last message (a subscriber's end).
  void Finish(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait);

 private:
  bool Prepare(std::string* reason);
  std::string Explain(int rc, int savedErrno);  // with mutex_ held
  void Settle(int mid, int reasonCode);          // with mutex_ held
  static void OnConnect(mosquitto*, void* self, int rc, int flags, const struct mqtt5__property* props);
  static void OnDisconnect(mosquitto*, void* self, int rc, const struct mqtt5__property* props);
  static void OnPublish(mosquitto*, void* self, int mid, int reasonCode, const struct mqtt5__property* props);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message, const struct mqtt5__property* props);
  static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                          const struct mqtt5__property* props);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  BrokerSettings settings_;
  mosquitto* mosq_ = nullptr;
  bool threadRunning_ = false;
  std::atomic<bool> connected_{false};
  std::atomic<unsigned> connections_{0};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int connackRefusal_ = 0;   // the broker's CONNACK reason code when it refused
  bool mqtt311_ = false;     // the broker speaks MQTT 3.1.1 only
  std::string failure_;      // libmosquitto's error texts (a TLS failure shows only there)
  // QoS 1 messages handed over and not yet answered, by mid. An answer may
  // come before Publish has noted its mid: it waits in early_ (mid -> code).
  struct Pending {
    bool counted;
    size_t bytes;
    std::string topic;
  };
  std::map<int, Pending> pending_;
  std::map<int, int> early_;
  uint64_t acknowledged_ = 0, refused_ = 0;
  size_t outstandingBytes_ = 0;  // of counted messages
  std::optional<std::string> refusal_;  // the first refusal's sentence, until taken
  bool refusalSeen_ = false;
  std::vector<std::pair<std::string, int>> filters_;  // subscribed on every connection
  MessageHandler onMessage_;
  size_t subscribeAnswers_ = 0;  // on the current connection
  std::map<int, std::string> subscribing_;  // filters by mid, until answered
  // QoS 0 messages handed over whose "sent" has not come back yet (libmosquitto
  // reports those too, with mids shared with QoS 1).
  std::map<int, bool> quick_;
  void AnswerClockRequest(const std::string& payload, int64_t arrivedUs);
  std::string clockRequestTopic_, clockReplyBase_;
  uint64_t clockAnswered_ = 0;
  std::chrono::steady_clock::time_point lastClockRequest_{};
  std::chrono::steady_clock::time_point clockWindow_{};  // the rate's current second
  unsigned clockInWindow_ = 0;
  bool quickAcks_ = false;
  std::vector<std::string> optional_;           // filters whose refusal is only said
  std::vector<std::string> optionalRefused_;
};

}  // namespace vozihost
