#include "vozi_sim/conversation.h"

#include <charconv>

#include "vozi_sim/description.h"

namespace vozisim {

Conversation::Conversation(const SimConfig& cfg)
    : cfg_(cfg),
      versionLine_(VersionLine(cfg)),
      formatLines_{"F", FormatLine(cfg), PeriodLine(cfg)},
      infoLines_{"I", NamesLine(cfg), UnitsLine(cfg), MaximaLine(cfg), MinimaLine(cfg)},
      periodUs_(StartPeriodMicros(cfg).value_or(1000)) {}

Conversation::Reply Conversation::Handle(std::string_view command) {
  Reply r;
  if (command.empty()) return r;
  const char letter = command[0];
  if (letter == 'X') {
    // End of the conversation: the host is about to close the port.
    r.stopStream = streaming_;
    streaming_ = false;
    r.endOfConversation = true;
    return r;
  }
  if (cfg_.silent) return r;
  if (cfg_.greetingOnly && letter != 'S') return r;
  switch (letter) {
    case 'S':
      HandleStop(r);
      break;
    case 'V':
      r.lines.push_back(versionLine_);
      break;
    case 'F':
      r.lines = formatLines_;
      break;
    case 'U':
      channelMask_ = std::string(command.substr(1));
      r.lines.push_back("U");
      break;
    case 'I':
      r.lines = infoLines_;
      break;
    case 'B':
      HandleBegin(r);
      break;
    case 'P':
      HandleSelectPeriod(command.substr(1), r);
      break;
    default:
      break;
  }
  if (!r.lines.empty() && cfg_.strayAfter.find(letter) != std::string::npos) r.lines.push_back(kStrayLine);
  return r;
}

void Conversation::HandleStop(Reply& r) {
  if (streaming_ && cfg_.noStopAck) return;
  r.stopStream = streaming_;
  streaming_ = false;
  r.lines.push_back("S");
}

void Conversation::HandleBegin(Reply& r) {
  if (cfg_.noStreamAck) return;
  // The host repeats "B" until it sees the answer, so a repeat may arrive
  // while the stream already runs: answer it, but do not restart the samples.
  r.lines.push_back("B");
  if (!streaming_) {
    streaming_ = true;
    r.startStream = true;
  }
}

void Conversation::HandleSelectPeriod(std::string_view digits, Reply& r) {
  int position = -1;
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, position);
  if (digits.empty() || ec != std::errc() || ptr != end) return;
  if (auto us = PeriodMicrosAt(cfg_, position)) {
    periodUs_ = *us;
    r.periodChanged = true;
  }
}

}  // namespace vozisim
