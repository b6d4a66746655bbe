#pragma once
// monitor without --broker: a mosquitto of its own, for this run only. It
// listens on the loopback alone (checked on its sockets once it listens), on
// two free ports: MQTT for the publisher, and WebSockets for the browser,
// whose listener also serves the monitor page (http_dir). Only the publisher
// writes (user kPrivateBrokerUser with a password made for the run); anyone
// else may only read. Its configuration is written to a temporary folder,
// removed once the broker listens. A broker that ends on its own is said at
// once and asks the run to stop (Death() says how it ended). Stop() (also
// run by the destructor) ends and reaps the broker; a host that dies
// outright takes the broker with it (parent-death signal).
#include <filesystem>
#include <memory>
#include <string>

namespace vozihost {

inline constexpr const char* kPrivateBrokerUser = "vozi-host";

class PrivateBroker {
 public:
  PrivateBroker();
  ~PrivateBroker();
  PrivateBroker(const PrivateBroker&) = delete;
  PrivateBroker& operator=(const PrivateBroker&) = delete;

  // False where no broker can be started (Windows).
  static bool Supported();

  // Starts mosquitto serving webDir and waits until both listeners accept
  // connections. On failure nothing is left running and *error says why.
  bool Start(const std::filesystem::path& webDir, std::string* error);
  void Stop();

  int MqttPort() const;
  int WebPort() const;
  // The publisher's password (user kPrivateBrokerUser).
  const std::string& Password() const;
  // Empty, or how the broker ended on its own while it should have run.
  std::string Death() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vozihost
