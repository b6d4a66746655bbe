#include "session/enabler_session.h"

#include <cmath>
#include <limits>
#include <string>

namespace vozihost {
namespace {

// Text replies are short (names, units, period lists); the input amplifier
// control list, the longest, is a few hundred bytes.
constexpr int32_t kReplyBytes = 4096;
// A decoded line is "@ " and at most 26 values of up to 11 characters.
constexpr int32_t kLineBytes = 1024;
// Longer lines are garbage anyway; the rest comes back as further lines.
constexpr size_t kMaxLineBytes = 65536;

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Utf8FromUtf16(const uint16_t* text) {
  std::string out;
  if (!text) return out;
  for (; *text; ++text) {
    uint32_t c = *text;
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
      ++text;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string EnablerSession::ClassName() const {
  DeviceClassInfo info{};
  if (!api_.GetDeviceClassInfo(&info)) return {};
  return Utf8FromUtf16(info.displayName) + " (" + Utf8FromUtf16(info.shortName) + ")";
}

std::vector<int32_t> EnablerSession::FindDevices() {
  used_ = true;
  std::vector<int32_t> indices;
  int32_t index = -1;
  // The pass ends with the first 0. A safety bound: a library that never
  // ends its pass must not hang the tool.
  while (indices.size() < 256 && api_.FindDevice(&index)) indices.push_back(index);
  return indices;
}

std::optional<int32_t> EnablerSession::UniqueId(int32_t index) const {
  int32_t id = 0;
  if (!api_.GetUniqueID(index, &id)) return std::nullopt;
  return id;
}

std::string EnablerSession::LastErrorMessage(int32_t index) const {
  const int32_t length = api_.GetLastErrorMsg(index, nullptr);
  // 0: no such device. 1 is the empty text, fetched all the same: fetching a
  // device's message is what clears it in the library.
  if (length <= 0) return {};
  // The library promises to write no more than the length it reported; one
  // spare zero keeps a library that does not from running off the end.
  std::string buffer(static_cast<size_t>(length) + 1, '\0');
  api_.GetLastErrorMsg(index, buffer.data());
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string EnablerSession::FailureMessage(int32_t index, int32_t lastIndex) const {
  std::string own = LastErrorMessage(index);
  if (!own.empty()) return own;
  std::string general = LastErrorMessage(-1);
  if (index == lastIndex) return general;
  return "(the library gives its reason only for the instrument found last, device " +
         std::to_string(lastIndex) + ")";
}

std::string StartFailureReason(bool describedByMessage, const std::string& libraryMessage, double seconds) {
  static const std::string kTraceHint = "; --trace FILE shows the firmware it reported and the one required";
  if (describedByMessage) {
    if (libraryMessage.find("wrong firmware") != std::string::npos) return "its firmware was refused" + kTraceHint;
    if (libraryMessage.find("not responding. Please restart") != std::string::npos) {
      return "it did not answer (switched off, or not connected)";
    }
    if (libraryMessage.find("not responding or powered off") != std::string::npos) {
      return "its port could not be opened or set up (another program may hold it, or permission is missing)";
    }
  }
  if (seconds < 0.9) {
    return "it failed before it could answer: its port could not be opened or set up, or the connection broke";
  }
  if (seconds >= 15.5) return "it did not answer within 16 s (switched off, or not connected)";
  return "it answered and was refused, most likely for its firmware" + kTraceHint;
}

EnablerSession::Reply EnablerSession::Command(int32_t index, VoziCommand code,
                                              int32_t argument) const {
  std::string buffer(kReplyBytes, '\0');
  CommandRecord record{};
  record.reply = buffer.data();
  record.replySize = kReplyBytes - 1;  // the last zero stays ours
  record.argument = argument;
  record.value = std::numeric_limits<float>::quiet_NaN();
  Reply reply;
  reply.ok = api_.DeviceCommand(index, code, &record) != 0;
  reply.text.assign(buffer.c_str());
  reply.count = record.count;
  if (!std::isnan(record.value)) reply.value = record.value;
  return reply;
}

bool EnablerSession::ReadLine(int32_t index, std::string& line, uint32_t timeoutMs) const {
  char buffer[kLineBytes];
  line.clear();
  // A line longer than the buffer comes back in pieces of kLineBytes - 1
  // bytes, the piece that ends at the terminator last. The library returns
  // only once a terminator is held, so the rest is already waiting.
  for (uint32_t wait = timeoutMs;; wait = 0) {
    if (!api_.ReadLine(index, buffer, kLineBytes, wait)) return !line.empty();
    buffer[kLineBytes - 1] = '\0';
    const size_t n = std::char_traits<char>::length(buffer);
    line.append(buffer, n);
    if (n < static_cast<size_t>(kLineBytes - 1) || line.size() >= kMaxLineBytes) return true;
  }
}

void EnablerSession::CloseAll() {
  if (!used_) return;
  api_.CloseAll();
  used_ = false;
}

}  // namespace vozihost
