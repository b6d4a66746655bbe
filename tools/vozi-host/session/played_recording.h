#pragma once
// A recording a simulator plays as an instrument (vozi-sim --play). Its gaps
// are lines the instrument never sends, at their place in the pace, and after
// its last row nothing more comes: to the silence check both look like an
// instrument that stopped. The simulator says, once it is ready, how many
// lines it sends and the longest time between two, so that a tool that
// started it can tell them apart.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vozihost {

struct PlayedRecording {
  uint64_t lines = 0;           // in one pass
  double longestSilence = 0;    // seconds between two lines, at most
  bool looped = false;          // it starts again after its last row: no end
};

// Reads "play: <lines> lines, longest silence <seconds> s[, looped]";
// nullopt for anything else.
std::optional<PlayedRecording> ParsePlaySummary(std::string_view line);

// Whether simulators given these arguments play a recording (--play FILE
// or --play=FILE), and so print that line.
bool PlaysRecording(const std::vector<std::string>& simulatorArgs);

}  // namespace vozihost
