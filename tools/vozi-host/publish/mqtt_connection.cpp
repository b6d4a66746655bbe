#include "publish/mqtt_connection.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace vozihost {
namespace {

// libmosquitto's global set-up, once per process (and never torn down: the
// process ends soon after the last connection).
void InitialiseLibrary() {
  static const int done = mosquitto_lib_init();
  (void)done;
}

// The system's reason when there is one, else libmosquitto's.
std::string Reason(int rc, int savedErrno) {
  switch (rc) {
    case MOSQ_ERR_ERRNO: return std::strerror(savedErrno);
    case MOSQ_ERR_EAI: return "the host name cannot be resolved";
    case MOSQ_ERR_TLS:
      return "the TLS handshake failed (is --ca-file the CA that signed the broker's certificate, and "
             "does the certificate name this host?)";
    default: return mosquitto_strerror(rc);
  }
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
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Batches are small and due now: no waiting to fill a TCP segment.
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_will_set(mosq_, willTopic.c_str(), static_cast<int>(willPayload.size()), willPayload.data(), 1, true);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstSeconds, kReconnectLastSeconds, true);
  mosquitto_connect_callback_set(mosq_, &MqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttConnection::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttConnection::OnPublish);
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
  const char* password = settings_.password ? settings_.password->c_str() : nullptr;
  if (!settings_.username.empty() || password) {
    const int rc = mosquitto_username_pw_set(mosq_, settings_.username.empty() ? nullptr : settings_.username.c_str(),
                                             password);
    if (rc != MOSQ_ERR_SUCCESS) {
      *reason = Reason(rc, 0);
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
      *reason = "TLS cannot be set up" + (settings_.caFile.empty() ? "" : " with " + settings_.caFile) + ": " +
                Reason(rc, 0);
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
  if (rc != MOSQ_ERR_SUCCESS) {
    *reason = Reason(rc, savedErrno);
    return false;
  }
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, wait, [&] { return Connected() || refusal_ != 0 || !failure_.empty(); })) {
    *reason = "no answer within " + std::to_string(wait.count() / 1000) + " s";
    return false;
  }
  if (refusal_ != 0) {
    *reason = std::string("the broker refused the connection: ") + mosquitto_connack_string(refusal_);
    return false;
  }
  if (!Connected()) {
    *reason = failure_;
    return false;
  }
  return true;
}

void MqttConnection::StartInBackground() {
  std::string ignored;
  if (!Prepare(&ignored)) return;
  // Does not wait for the network: a failure shows as no connection, and
  // the thread goes on trying.
  mosquitto_connect_async(mosq_, settings_.url.host.c_str(), settings_.url.port, settings_.keepaliveSeconds);
  threadRunning_ = mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

bool MqttConnection::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
  if (!mosq_) return false;
  return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                           retain) == MOSQ_ERR_SUCCESS;
}

void MqttConnection::Finish(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait) {
  if (!mosq_) return;
  {
    std::lock_guard lock(mutex_);
    watchAcks_ = true;
  }
  int mid = 0;
  const bool queued = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, true) == MOSQ_ERR_SUCCESS;
  // Messages go out in order: once the broker has the last, it has them all.
  if (queued && Connected()) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return acked_.count(mid) > 0 || !Connected(); });
  }
  if (threadRunning_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    threadRunning_ = false;
  }
}

void MqttConnection::OnConnect(mosquitto*, void* self, int rc) {
  auto* c = static_cast<MqttConnection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    if (rc == 0) {
      c->connections_.fetch_add(1, std::memory_order_release);
      c->connected_.store(true, std::memory_order_release);
    } else {
      c->refusal_ = rc;
    }
  }
  c->changed_.notify_all();
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int) {
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
    if (c->connections_.load() > 0) return;  // only a failure to connect at all is news
    c->failure_ = text;
  }
  c->changed_.notify_all();
}

void MqttConnection::OnPublish(mosquitto*, void* self, int mid) {
  auto* c = static_cast<MqttConnection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    if (!c->watchAcks_) return;
    c->acked_.insert(mid);
  }
  c->changed_.notify_all();
}

}  // namespace vozihost
