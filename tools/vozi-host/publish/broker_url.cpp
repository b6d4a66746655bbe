#include "publish/broker_url.h"

#include <charconv>

namespace vozihost {

std::string BrokerUrl::Text() const {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(tls ? "mqtts://" : "mqtt://") + shown + ":" + std::to_string(port);
}

std::optional<BrokerUrl> ParseBrokerUrl(const std::string& text, std::string* error) {
  BrokerUrl url;
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
    url.port = 1883;
  } else if (text.rfind("mqtts://", 0) == 0) {
    rest = text.substr(8);
    url.tls = true;
    url.port = 8883;
  } else {
    *error = "--broker must be mqtt://host[:port] or mqtts://host[:port] (got \"" + text + "\")";
    return std::nullopt;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('@') != std::string::npos) {
    *error = "--broker: no user name or password in the URL (anyone can list the command lines of "
             "processes); use --username and VOZI_MQTT_PASSWORD or --password-file";
    return std::nullopt;
  }
  if (rest.find('/') != std::string::npos) {
    *error = "--broker: a broker URL has no path (got \"" + text + "\"); the topics' prefix is --prefix";
    return std::nullopt;
  }
  std::string port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || (close + 1 < rest.size() && rest[close + 1] != ':')) {
      *error = "--broker: an IPv6 address goes in brackets, e.g. mqtt://[::1]:1883 (got \"" + text + "\")";
      return std::nullopt;
    }
    url.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) port = rest.substr(close + 2);
  } else {
    const size_t colon = rest.find(':');
    url.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
      if (port.find(':') != std::string::npos) {
        *error = "--broker: an IPv6 address goes in brackets, e.g. mqtt://[::1]:1883 (got \"" + text + "\")";
        return std::nullopt;
      }
      if (port.empty()) port = "-";  // "host:" names no port
    }
  }
  if (url.host.empty()) {
    *error = "--broker names no host (got \"" + text + "\")";
    return std::nullopt;
  }
  if (!port.empty()) {
    int value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
      *error = "--broker: the port must be a number from 1 to 65535 (got \"" + text + "\")";
      return std::nullopt;
    }
    url.port = value;
  }
  return url;
}

}  // namespace vozihost
