#pragma once
// monitor without --broker: a mosquitto of its own, for this run only. It
// listens on the loopback alone, on two free ports: MQTT for the publisher,
// and WebSockets for the browser, whose listener also serves the monitor page
// (http_dir). Its configuration is written to a temporary folder, removed
// once the broker listens. Stop() (also run by the destructor) ends and reaps
// the broker; a host that dies outright takes the broker with it
// (parent-death signal).
#include <filesystem>
#include <memory>
#include <string>

namespace vozihost {

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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vozihost
