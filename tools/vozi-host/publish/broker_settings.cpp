#include "publish/broker_settings.h"

#include <cstdlib>
#include <fstream>

#include "output_files.h"

namespace vozihost {

bool ReadPassword(const std::string& passwordFile, std::optional<std::string>* password, std::string* error) {
  if (!passwordFile.empty()) {
    std::ifstream in(passwordFile);
    std::string line;
    if (!in || !std::getline(in, line)) {
      *error = "--password-file: cannot read " + passwordFile + (in ? ": it is empty" : ": " + SystemReason());
      return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *password = line;
    return true;
  }
  if (const char* value = std::getenv(kPasswordVariable)) *password = std::string(value);
  return true;
}

std::optional<std::string> CheckPrefix(const std::string& prefix) {
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find_first_of("+#") != std::string::npos || prefix.find("//") != std::string::npos) {
    return "--prefix must be one or more topic levels without wildcards, e.g. vozi or lab3/vozi (got \"" +
           prefix + "\")";
  }
  return std::nullopt;
}

}  // namespace vozihost
