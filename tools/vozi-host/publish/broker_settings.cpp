#include "publish/broker_settings.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vozihost {

namespace {

constexpr size_t kPasswordFileLimit = 64 * 1024;

#ifndef _WIN32
// Only a regular file: a FIFO or a device would block the open or the read
// (past Ctrl-C) or never end. Opened without blocking, then checked.
bool ReadStart(const std::string& path, std::string* text, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "it is not a regular file";
    close(fd);
    return false;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->find('\n') != std::string::npos || text->size() > kPasswordFileLimit) break;
  }
  close(fd);
  return true;
}
#else
// Windows has no FIFOs in the file system; a regular file is still asked for.
bool ReadStart(const std::string& path, std::string* text, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    *error = ec ? ec.message() : "it is not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text->append(buffer, static_cast<size_t>(in.gcount()));
    if (text->find('\n') != std::string::npos || text->size() > kPasswordFileLimit) break;
  }
  if (in.bad()) {
    *error = "it cannot be read";
    return false;
  }
  return true;
}
#endif

bool ReadPasswordFile(const std::string& path, std::string* line, std::string* error) {
  const std::string what = "--password-file: cannot read " + path + ": ";
  std::string text, reason;
  if (!ReadStart(path, &text, &reason)) {
    *error = what + reason;
    return false;
  }
  *line = text.substr(0, text.find('\n'));
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (line->empty()) {
    *error = what + (text.empty() ? "it is empty" : "its first line is empty");
    return false;
  }
  if (line->size() > 65535) {  // MQTT carries at most 65535 bytes of password
    *error = what + "its first line is longer than MQTT allows (65535 bytes)";
    return false;
  }
  return true;
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[extra] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

bool ReadPassword(const std::string& passwordFile, std::optional<std::string>* password, std::string* error) {
  if (!passwordFile.empty()) {
    std::string line;
    if (!ReadPasswordFile(passwordFile, &line, error)) return false;
    *password = line;
    return true;
  }
  if (const char* value = std::getenv(kPasswordVariable)) *password = std::string(value);
  return true;
}

std::optional<std::string> CheckPrefix(const std::string& prefix) {
  const std::string got = ValidUtf8(prefix) ? " (got \"" + prefix + "\")" : "";
  if (prefix.size() > kMaxPrefixBytes) {
    return "--prefix is longer than " + std::to_string(kMaxPrefixBytes) +
           " bytes: an MQTT topic holds at most 65535, the instrument's levels included";
  }
  if (!ValidUtf8(prefix)) return std::string("--prefix must be UTF-8 text (MQTT topics are)");
  for (const unsigned char c : prefix) {
    if (c < 0x20 || c == 0x7f) return "--prefix holds a control character" + got;
  }
  if (!prefix.empty() && prefix.front() == '$') {
    return "--prefix must not start with $: brokers keep such topics to themselves ($SYS)" + got;
  }
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find_first_of("+#") != std::string::npos || prefix.find("//") != std::string::npos) {
    return "--prefix must be one or more topic levels without wildcards, e.g. vozi or lab3/vozi" + got;
  }
  return std::nullopt;
}

}  // namespace vozihost
