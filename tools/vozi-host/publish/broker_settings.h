#pragma once
// How vozi-host reaches a broker: where, the topics' prefix, and for a broker
// off the loopback TLS and credentials. The password never comes from the
// command line (anyone can list processes' arguments): it comes from the
// environment or a file.
#include <cstddef>
#include <optional>
#include <string>

#include "publish/broker_url.h"

namespace vozihost {

inline constexpr const char* kPasswordVariable = "VOZI_MQTT_PASSWORD";

struct BrokerSettings {
  BrokerUrl url;
  std::string prefix = "vozi";
  std::string caFile;    // mqtts: the CA that signed the broker's certificate (default: the system's)
  std::string username;  // empty: none
  std::optional<std::string> password;
  int keepaliveSeconds = 10;  // the broker declares a silent publisher dead after 1.5 times this
};

// The password: the first line of passwordFile when given, else
// VOZI_MQTT_PASSWORD, else none. False with *error when the file cannot be read.
bool ReadPassword(const std::string& passwordFile, std::optional<std::string>* password, std::string* error);

// A prefix is one or more topic levels of UTF-8 text without wildcards or
// control characters, not starting with '$': "vozi", "lab3/vozi". It leaves
// room in a topic's 65535 bytes for "/<id>/samples".
inline constexpr size_t kMaxPrefixBytes = 65535 - 64;
std::optional<std::string> CheckPrefix(const std::string& prefix);

}  // namespace vozihost
