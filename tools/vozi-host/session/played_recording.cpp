#include "session/played_recording.h"

#include <charconv>
#include <cmath>

namespace vozihost {
namespace {

// Takes `word` off the front of `text`.
bool Skip(std::string_view& text, std::string_view word) {
  if (text.substr(0, word.size()) != word) return false;
  text.remove_prefix(word.size());
  return true;
}

}  // namespace

std::optional<PlayedRecording> ParsePlaySummary(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  PlayedRecording r;
  if (!Skip(line, "play: ")) return std::nullopt;
  const auto [afterLines, linesError] = std::from_chars(line.data(), line.data() + line.size(), r.lines);
  if (linesError != std::errc() || afterLines == line.data()) return std::nullopt;
  line.remove_prefix(static_cast<size_t>(afterLines - line.data()));
  if (!Skip(line, " lines, longest silence ")) return std::nullopt;
  const auto [afterSilence, silenceError] =
      std::from_chars(line.data(), line.data() + line.size(), r.longestSilence);
  if (silenceError != std::errc() || afterSilence == line.data()) return std::nullopt;
  line.remove_prefix(static_cast<size_t>(afterSilence - line.data()));
  if (!std::isfinite(r.longestSilence) || r.longestSilence < 0 || !Skip(line, " s")) return std::nullopt;
  r.looped = Skip(line, ", looped");
  if (!line.empty()) return std::nullopt;
  return r;
}

bool PlaysRecording(const std::vector<std::string>& simulatorArgs) {
  for (const std::string& a : simulatorArgs) {
    if (a == "--play" || a.rfind("--play=", 0) == 0) return true;
  }
  return false;
}

}  // namespace vozihost
