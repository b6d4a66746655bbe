#include "publish/mqtt_connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "publish/clock_messages.h"

namespace vozihost {
namespace {

// libmosquitto's global set-up, once per process (and never torn down: the
// process ends soon after the last connection).
void InitialiseLibrary() {
  static const int done = mosquitto_lib_init();
  (void)done;
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

bool IsRefusal(int reasonCode) { return reasonCode >= 0x80; }

// A broker that leaves Nagle's algorithm on (mosquitto's default) holds a
// small message back until its previous one is acknowledged, and this end
// delays acknowledgements by up to 40 ms: a clock reply (or request) behind
// a batch would wait that long, and lopsidedly. Acknowledging at once (Linux
// resets this after a while, so it is set again on every arrival) keeps the
// hold to one network round trip.
void AcknowledgeAtOnce(mosquitto* mosq) {
#ifdef TCP_QUICKACK
  const int fd = mosquitto_socket(mosq);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)mosq;
#endif
}

// Pauses between attempts to reconnect, growing from the first to the last.
constexpr unsigned kReconnectFirstSeconds = 1;
constexpr unsigned kReconnectLastSeconds = 16;

}  // namespace

MqttConnection::MqttConnection(const std::string& clientId, const BrokerSettings& settings,
                               const std::string& willTopic, const std::string& willPayload)
    : settings_(settings) {
  InitialiseLibrary();
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (!mosq_) return;
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Batches are small and due now: no waiting to fill a TCP segment.
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  if (!willTopic.empty()) {
    mosquitto_will_set(mosq_, willTopic.c_str(), static_cast<int>(willPayload.size()), willPayload.data(), 1, true);
  }
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstSeconds, kReconnectLastSeconds, true);
  mosquitto_connect_v5_callback_set(mosq_, &MqttConnection::OnConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &MqttConnection::OnDisconnect);
  mosquitto_publish_v5_callback_set(mosq_, &MqttConnection::OnPublish);
  mosquitto_log_callback_set(mosq_, &MqttConnection::OnLog);
}

MqttConnection::~MqttConnection() {
  if (!mosq_) return;
  if (threadRunning_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
}

bool MqttConnection::Prepare(std::string* reason) {
  if (!mosq_) {
    *reason = "libmosquitto could not make a client";
    return false;
  }
  // MQTT sends a password only after a user name: the command line refuses
  // a password without --username before anything starts.
  if (!settings_.username.empty()) {
    const char* password = settings_.password ? settings_.password->c_str() : nullptr;
    const int rc = mosquitto_username_pw_set(mosq_, settings_.username.c_str(), password);
    if (rc != MOSQ_ERR_SUCCESS) {
      *reason = std::string("libmosquitto does not take the user name or password: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  if (settings_.url.tls) {
    int rc = MOSQ_ERR_SUCCESS;
    if (settings_.caFile.empty()) {
      rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      rc = mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      *reason = settings_.caFile.empty()
                    ? std::string("TLS cannot be set up with the system's certificate store: ") + mosquitto_strerror(rc)
                    : "--ca-file " + settings_.caFile + " holds no CA certificate TLS can use: " +
                          mosquitto_strerror(rc);
      return false;
    }
  }
  return true;
}

bool MqttConnection::Start(std::chrono::milliseconds wait, std::string* reason) {
  if (!Prepare(reason)) return false;
  errno = 0;
  const int rc = mosquitto_connect(mosq_, settings_.url.host.c_str(), settings_.url.port, settings_.keepaliveSeconds);
  const int savedErrno = errno;
  // The thread runs whatever happened: it keeps trying to connect.
  threadRunning_ = mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
  std::unique_lock lock(mutex_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *reason = Explain(rc, savedErrno);
    return false;
  }
  if (!changed_.wait_for(lock, wait, [&] { return Connected() || connackRefusal_ != 0 || !failure_.empty(); })) {
    *reason = "no answer within " + std::to_string(wait.count() / 1000) + " s";
    // A TLS listener waits for a handshake that a plain client never starts.
    if (!settings_.url.tls) *reason += " (if that port is a TLS listener, the URL is mqtts://)";
    return false;
  }
  if (Connected()) return true;
  if (connackRefusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && !mqtt311_) {
    // A broker of MQTT 3.1.1 only: it takes the same messages, but drops
    // what it refuses without a word (the summary cannot tell those apart).
    lock.unlock();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    threadRunning_ = false;
    mqtt311_ = true;
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    {
      std::lock_guard again(mutex_);
      connackRefusal_ = 0;
      failure_.clear();
    }
    return Start(wait, reason);
  }
  *reason = Explain(MOSQ_ERR_SUCCESS, 0);
  return false;
}

// One sentence per cause a user can act on. libmosquitto reports a TLS
// failure only through its log (kept in failure_) and a generic code.
std::string MqttConnection::Explain(int rc, int savedErrno) {
  const std::string& log = failure_;
  const std::string port = std::to_string(settings_.url.port);
  if (Has(log, "host name verification failed") || Has(log, "hostname mismatch") ||
      Has(log, "Hostname mismatch")) {
    return "the broker's certificate does not name the host " + settings_.url.host +
           " (connect by the name the certificate was made for)";
  }
  if (Has(log, "certificate verify failed")) {
    return settings_.caFile.empty()
               ? "the broker's certificate is not signed by a CA the system trusts (give its CA with --ca-file)"
               : "the broker's certificate is not signed by the CA in " + settings_.caFile + " (--ca-file)";
  }
  if (settings_.url.tls && (Has(log, "unexpected eof") || Has(log, "wrong version number") ||
                            Has(log, "packet length too long") || rc == MOSQ_ERR_CONN_LOST ||
                            rc == MOSQ_ERR_PROTOCOL)) {
    return "the broker ended the TLS handshake: port " + port +
           " is not a TLS listener, it seems (the URL for a plain one is mqtt://)";
  }
  // MQTT 3.1.1 answers with codes of its own: 4 and 5 for user and password.
  const bool credentials = mqtt311_ ? connackRefusal_ == 4 || connackRefusal_ == 5
                                    : connackRefusal_ == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
                                          connackRefusal_ == MQTT_RC_NOT_AUTHORIZED;
  if (credentials) {
    if (settings_.username.empty()) {
      return "the broker takes no anonymous publisher: give --username, and the password with --password-file "
             "or " + std::string(kPasswordVariable);
    }
    if (!settings_.password) {
      return "the broker refused the user " + settings_.username + " without a password (give it with "
             "--password-file or " + kPasswordVariable + ")";
    }
    return "the broker refused the user " + settings_.username + " with this password (a wrong password, or a "
           "user the broker does not know)";
  }
  if (connackRefusal_ != 0) {
    return std::string("the broker refused the connection: ") +
           (mqtt311_ ? mosquitto_connack_string(connackRefusal_) : mosquitto_reason_string(connackRefusal_));
  }
  switch (rc) {
    case MOSQ_ERR_ERRNO: return std::strerror(savedErrno);
    case MOSQ_ERR_EAI: return "the host name " + settings_.url.host + " cannot be resolved";
    case MOSQ_ERR_TLS: return "the TLS handshake failed" + (log.empty() ? std::string() : ": " + log);
    case MOSQ_ERR_SUCCESS: return log.empty() ? "the connection failed" : log;
    default: return mosquitto_strerror(rc);
  }
}

void MqttConnection::StartInBackground() {
  std::string ignored;
  if (!Prepare(&ignored)) return;
  // Does not wait for the network: a failure shows as no connection, and
  // the thread goes on trying.
  mosquitto_connect_async(mosq_, settings_.url.host.c_str(), settings_.url.port, settings_.keepaliveSeconds);
  threadRunning_ = mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

bool MqttConnection::Publish(const std::string& topic, const std::string& payload, bool retain, bool counted) {
  if (!mosq_) return false;
  int mid = 0;
  // QoS 1: every message is answered, so every answer finds its mid (QoS 0
  // ones go through PublishQuick, which claims their "sent" reports).
  if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain) !=
      MOSQ_ERR_SUCCESS) {
    return false;
  }
  std::lock_guard lock(mutex_);
  pending_[mid] = Pending{counted, payload.size(), topic};
  if (counted) outstandingBytes_ += payload.size();
  if (const auto early = early_.find(mid); early != early_.end()) {
    const int code = early->second;
    early_.erase(early);
    Settle(mid, code);
  }
  return true;
}

void MqttConnection::Settle(int mid, int reasonCode) {
  if (const auto q = quick_.find(mid); q != quick_.end()) {
    quick_.erase(q);
    return;
  }
  const auto p = pending_.find(mid);
  if (p == pending_.end()) {
    early_[mid] = reasonCode;
    return;
  }
  if (p->second.counted) outstandingBytes_ -= p->second.bytes;
  if (IsRefusal(reasonCode)) {
    if (p->second.counted) ++refused_;
    if (!refusalSeen_) {
      refusalSeen_ = true;
      refusal_ = "the broker refused " + p->second.topic + ": " + mosquitto_reason_string(reasonCode);
    }
  } else if (p->second.counted) {
    ++acknowledged_;
  }
  pending_.erase(p);
}

uint64_t MqttConnection::Acknowledged() const {
  std::lock_guard lock(mutex_);
  return acknowledged_;
}

uint64_t MqttConnection::Refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

size_t MqttConnection::OutstandingBytes() const {
  std::lock_guard lock(mutex_);
  return outstandingBytes_;
}

std::optional<std::string> MqttConnection::TakeRefusal() {
  std::lock_guard lock(mutex_);
  std::optional<std::string> r;
  r.swap(refusal_);
  return r;
}

std::string MqttConnection::BackgroundFailure() {
  std::lock_guard lock(mutex_);
  if (Connected() || (connackRefusal_ == 0 && failure_.empty())) return {};
  return Explain(MOSQ_ERR_SUCCESS, 0);
}

void MqttConnection::Finish(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait) {
  if (!mosq_) return;
  const bool queued = !topic.empty() && Publish(topic, payload, true);
  // Every QoS 1 message answered, the goodbye last, or the time is up.
  if (queued && Connected()) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return pending_.empty() || !Connected(); });
  }
  if (threadRunning_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    threadRunning_ = false;
  }
}

void MqttConnection::Subscribe(std::vector<std::pair<std::string, int>> filters, MessageHandler handler) {
  filters_.insert(filters_.end(), filters.begin(), filters.end());
  onMessage_ = std::move(handler);
  if (!mosq_) return;
  mosquitto_message_v5_callback_set(mosq_, &MqttConnection::OnMessage);
  mosquitto_subscribe_v5_callback_set(mosq_, &MqttConnection::OnSubscribe);
}

bool MqttConnection::WaitSubscribed(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [&] { return Connected() && subscribeAnswers_ >= filters_.size(); });
}

void MqttConnection::OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                                 const mosquitto_property*) {
  auto* c = static_cast<MqttConnection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    ++c->subscribeAnswers_;
    const auto filter = c->subscribing_.find(mid);
    const bool optional = filter != c->subscribing_.end() &&
                          std::find(c->optional_.begin(), c->optional_.end(), filter->second) != c->optional_.end();
    for (int k = 0; k < count && granted; ++k) {
      if (IsRefusal(granted[k]) && optional) {
        if (c->optionalRefused_.size() < 16) c->optionalRefused_.push_back(filter->second);
      } else if (IsRefusal(granted[k]) && !c->refusalSeen_) {
        c->refusalSeen_ = true;
        c->refusal_ = "the broker refused the subscription to " +
                      (filter != c->subscribing_.end() ? filter->second : std::string("a topic")) + ": " +
                      mosquitto_reason_string(granted[k]);
      }
    }
    if (filter != c->subscribing_.end()) c->subscribing_.erase(filter);
  }
  c->changed_.notify_all();
}

void MqttConnection::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*) {
  // A clock request's arrival, as early as this process can see it.
  const int64_t arrivedUs = ClockNowUs();
  auto* c = static_cast<MqttConnection*>(self);
  if (c->quickAcks_) AcknowledgeAtOnce(c->mosq_);
  if (!message || !message->topic) return;
  if (!c->clockRequestTopic_.empty() && c->clockRequestTopic_ == message->topic) {
    std::string payload;
    if (message->payload && message->payloadlen > 0 &&
        static_cast<size_t>(message->payloadlen) <= kMaxClockMessageBytes) {
      payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
      c->AnswerClockRequest(payload, arrivedUs);
    }
    return;
  }
  if (!c->onMessage_) return;
  std::string payload;
  if (message->payload && message->payloadlen > 0) {
    payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  }
  c->onMessage_(message->topic, std::move(payload));
}

void MqttConnection::AnswerClock(const std::string& prefix, const std::string& clockName) {
  clockRequestTopic_ = ClockRequestTopic(prefix, clockName);
  clockReplyBase_ = ClockReplyBase(prefix, clockName);
  SubscribeOptional(clockRequestTopic_, 0);
  quickAcks_ = true;
  if (!mosq_) return;
  mosquitto_message_v5_callback_set(mosq_, &MqttConnection::OnMessage);
  mosquitto_subscribe_v5_callback_set(mosq_, &MqttConnection::OnSubscribe);
}

// On the network thread: at most kMaxClockAnswersPerSecond, so that a flood
// of requests costs this process (and the broker) little.
void MqttConnection::AnswerClockRequest(const std::string& payload, int64_t arrivedUs) {
  constexpr unsigned kMaxClockAnswersPerSecond = 200;
  std::string why;
  const auto request = ParseClockRequest(payload, clockReplyBase_, &why);
  if (!request) return;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    if (now - clockWindow_ >= std::chrono::seconds(1)) {
      clockWindow_ = now;
      clockInWindow_ = 0;
    }
    if (++clockInWindow_ > kMaxClockAnswersPerSecond) return;
    lastClockRequest_ = now;
    ++clockAnswered_;
  }
  ClockReply reply{request->t1, arrivedUs, 0};
  reply.t3 = ClockNowUs();
  PublishQuick(request->reply, ClockReplyPayload(reply));
}

uint64_t MqttConnection::ClockRequestsAnswered() const {
  std::lock_guard lock(mutex_);
  return clockAnswered_;
}

std::chrono::steady_clock::time_point MqttConnection::LastClockRequest() const {
  std::lock_guard lock(mutex_);
  return lastClockRequest_;
}

void MqttConnection::TakePartInClockExchanges() { quickAcks_ = true; }

void MqttConnection::SubscribeOptional(const std::string& filter, int qos) {
  filters_.emplace_back(filter, qos);
  optional_.push_back(filter);
}

std::vector<std::string> MqttConnection::OptionalRefusals() const {
  std::lock_guard lock(mutex_);
  return optionalRefused_;
}

bool MqttConnection::PublishQuick(const std::string& topic, const std::string& payload) {
  if (!mosq_) return false;
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false) !=
      MOSQ_ERR_SUCCESS) {
    return false;
  }
  std::lock_guard lock(mutex_);
  // Its "sent" may have come first (another thread wrote it at once).
  if (const auto early = early_.find(mid); early != early_.end()) {
    early_.erase(early);
  } else {
    // A message dropped with a lost connection is never reported sent.
    if (quick_.size() > 10000) quick_.clear();
    quick_[mid] = true;
  }
  return true;
}

void MqttConnection::OnConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property*) {
  auto* c = static_cast<MqttConnection*>(self);
  // Before the connection counts as up: a clean start has no subscriptions.
  if (rc == 0) {
    std::lock_guard lock(c->mutex_);
    c->subscribeAnswers_ = 0;
    c->subscribing_.clear();
    for (const auto& [filter, qos] : c->filters_) {
      int mid = 0;
      if (mosquitto_subscribe(mosq, &mid, filter.c_str(), qos) == MOSQ_ERR_SUCCESS) c->subscribing_[mid] = filter;
    }
  }
  {
    std::lock_guard lock(c->mutex_);
    if (rc == 0) {
      c->connackRefusal_ = 0;
      c->failure_.clear();
      c->connections_.fetch_add(1, std::memory_order_release);
      c->connected_.store(true, std::memory_order_release);
    } else {
      c->connackRefusal_ = rc;
    }
  }
  c->changed_.notify_all();
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
  auto* c = static_cast<MqttConnection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    c->connected_.store(false, std::memory_order_release);
  }
  c->changed_.notify_all();
}

void MqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || !text) return;
  auto* c = static_cast<MqttConnection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    if (c->Connected()) return;  // only a failure to connect is news
    // Kept short: a broker away for hours fails every reconnection.
    if (c->failure_.size() > 1000) c->failure_.clear();
    if (!c->failure_.empty()) c->failure_ += "; ";
    c->failure_ += text;
  }
  c->changed_.notify_all();
}

void MqttConnection::OnPublish(mosquitto*, void* self, int mid, int reasonCode, const mosquitto_property*) {
  auto* c = static_cast<MqttConnection*>(self);
  if (c->quickAcks_) AcknowledgeAtOnce(c->mosq_);
  {
    std::lock_guard lock(c->mutex_);
    c->Settle(mid, reasonCode);
  }
  c->changed_.notify_all();
}

}  // namespace vozihost
