#include "mqtt_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace hosttest {
namespace {

using namespace std::chrono_literals;

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

MqttBroker::MqttBroker(const std::filesystem::path& folder, const BrokerConfig& config)
    : config_(folder / "mosquitto.conf"), log_(folder / "mosquitto.log"), port_(FreeLoopbackPort()) {
  std::filesystem::create_directories(folder);
  // Started by root, mosquitto would become the user "mosquitto", who
  // cannot write into this test's private folder.
  const passwd* user = getpwuid(getuid());
  std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\n"
                         << config.listener
                         << "user " << (user ? user->pw_name : "mosquitto") << "\n"
                         << (config.global.empty() ? "allow_anonymous true\n" : "")
                         << "persistence true\n"
                         << "persistence_location " << folder.string() << "/\n"
                         << "queue_qos0_messages true\n"
                         // A listener behind a burst must get everything, late.
                         << "max_queued_messages 0\n"
                         << "log_dest file " << log_.string() << "\n"
                         << config.global;
}

MqttBroker::~MqttBroker() { Stop(); }

bool MqttBroker::Start() {
  // Its complaints (being run as root) are no test output. Everything the
  // child needs is made before the fork: it may not allocate.
  const std::string errPath = log_.string() + ".err";
  pid_ = fork();
  if (pid_ == 0) {
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(err, STDERR_FILENO);
    dup2(err, STDOUT_FILENO);
    execlp("mosquitto", "mosquitto", "-c", config_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!Accepts(port_)) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void MqttBroker::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
}

MqttListener::MqttListener(int port, const std::string& filter) : filter_(filter) {
  mosquitto_lib_init();
  // One client id per listener: two on one broker would take each other's
  // session; a listener keeps its id across a broker's restart.
  static std::atomic<int> listeners{0};
  const std::string id = "vozi-test-listener-" + std::to_string(getpid()) + "-" + std::to_string(listeners++);
  mosq_ = mosquitto_new(id.c_str(), false, this);
  mosquitto_connect_callback_set(mosq_, &MqttListener::OnConnect);
  mosquitto_message_callback_set(mosq_, &MqttListener::OnMessage);
  mosquitto_subscribe_callback_set(mosq_, &MqttListener::OnSubscribe);
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect(mosq_, "127.0.0.1", port, 10);
  mosquitto_loop_start(mosq_);
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, 10s, [&] { return subscribed_; });
}

void MqttListener::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
  auto* l = static_cast<MqttListener*>(self);
  {
    std::lock_guard lock(l->mutex_);
    l->subscribed_ = true;
  }
  l->arrived_.notify_all();
}

MqttListener::~MqttListener() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

void MqttListener::OnConnect(mosquitto* mosq, void* self, int rc) {
  if (rc == 0) mosquitto_subscribe(mosq, nullptr, static_cast<MqttListener*>(self)->filter_.c_str(), 1);
}

void MqttListener::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* l = static_cast<MqttListener*>(self);
  {
    std::lock_guard lock(l->mutex_);
    l->messages_.push_back({message->topic,
                            std::string(static_cast<const char*>(message->payload),
                                        static_cast<size_t>(message->payloadlen)),
                            message->retain});
  }
  l->arrived_.notify_all();
}

bool MqttListener::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                           std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return done(messages_); });
}

std::vector<MqttMessage> MqttListener::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> PayloadsOn(const std::vector<MqttMessage>& messages, const std::string& topic) {
  std::vector<std::string> payloads;
  for (const MqttMessage& m : messages) {
    if (m.topic == topic) payloads.push_back(m.payload);
  }
  return payloads;
}

}  // namespace hosttest
