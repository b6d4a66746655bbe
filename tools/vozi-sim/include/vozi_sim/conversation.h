#pragma once
// The instrument's side of the line protocol, free of any I/O: one command
// text in, the answer lines and the change of streaming state out. The
// instrument thread feeds it the frames it receives and carries out its
// replies on the pseudo-terminal.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/sim_config.h"

namespace vozisim {

// A well-formed line that answers nothing: no protocol letter, one comma.
inline constexpr char kStrayLine[] = "~,~";

class Conversation {
 public:
  explicit Conversation(const SimConfig& cfg);

  struct Reply {
    bool stopStream = false;         // the stream ends before the lines are sent
    std::vector<std::string> lines;  // answer lines in order, without line ends
    bool startStream = false;        // a stream at sample 0 begins after the lines
    bool periodChanged = false;      // PeriodMicros() changed
    bool endOfConversation = false;  // "X" received
  };

  // Handles one command text (the frame without ':' and LF).
  //   S       stop streaming if streaming; answer "S"
  //   V       answer the version line
  //   F       answer "F", the format line, the period line
  //   U<flags> answer "U"
  //   I       answer "I", names, units, maxima, minima
  //   B       answer "B"; start streaming at sample 0 unless already streaming
  //   P<k>    select the period at position k of the period line; no answer
  //           (EndOfCycle, unknown positions and non-numeric periods: ignored)
  //   X       stop streaming; no answer
  // Anything else is ignored. The fault switches of the config apply; with
  // stray-after, an answer to one of its letters is followed by kStrayLine.
  Reply Handle(std::string_view command);

  bool Streaming() const { return streaming_; }
  int64_t PeriodMicros() const { return periodUs_; }
  // Flags of the last U command ("" before one).
  const std::string& ChannelMask() const { return channelMask_; }

 private:
  void HandleStop(Reply& r);
  void HandleBegin(Reply& r);
  void HandleSelectPeriod(std::string_view digits, Reply& r);

  SimConfig cfg_;
  std::string versionLine_;
  std::vector<std::string> formatLines_;
  std::vector<std::string> infoLines_;
  bool streaming_ = false;
  int64_t periodUs_;
  std::string channelMask_;
};

}  // namespace vozisim
