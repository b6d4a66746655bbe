#pragma once
// Where the publisher sends its streams: "mqtt://host[:port]" (plain TCP,
// 1883 by default) or "mqtts://host[:port]" (TLS, 8883). A host may be a
// name, an IPv4 address or an IPv6 address in brackets. Credentials never go
// into the URL: a URL is seen by anyone who lists the processes.
#include <optional>
#include <string>

namespace vozihost {

struct BrokerUrl {
  bool tls = false;
  std::string host;
  int port = 0;

  // As the user should read it back: "mqtt://127.0.0.1:1883".
  std::string Text() const;
};

inline constexpr const char* kDefaultBroker = "mqtt://127.0.0.1:1883";

// Nullopt with *error saying what is wrong.
std::optional<BrokerUrl> ParseBrokerUrl(const std::string& text, std::string* error);

}  // namespace vozihost
