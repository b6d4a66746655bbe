#include "platform/private_broker.h"

// The monitor's private broker is Debian's mosquitto, started and ended as a
// child process; on Windows, monitor publishes to a broker given with --broker.

namespace vozihost {

struct PrivateBroker::Impl {};

PrivateBroker::PrivateBroker() : impl_(std::make_unique<Impl>()) {}
PrivateBroker::~PrivateBroker() = default;

bool PrivateBroker::Supported() { return false; }

bool PrivateBroker::Start(const std::filesystem::path&, std::string* error) {
  *error = "monitor starts its own broker on Linux only; give one with --broker";
  return false;
}

void PrivateBroker::Stop() {}
int PrivateBroker::MqttPort() const { return 0; }
int PrivateBroker::WebPort() const { return 0; }
const std::string& PrivateBroker::Password() const {
  static const std::string none;
  return none;
}
std::string PrivateBroker::Death() const { return {}; }

}  // namespace vozihost
