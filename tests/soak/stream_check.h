#pragma once
// Checks the text lines a host reads from a streaming device against the
// simulated instrument that produced them: every line must be a whole,
// well-formed decoded line ("@ " and the enabled values, comma separated),
// and its values must be exactly the simulator's values for the sample it
// stands for. Which sample that is, the counter channel tells (its range
// 0..32767 scales to itself, so its decoded value is the sample number mod
// 32768); samples skipped between two lines are counted as lost.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/samples.h"
#include "vozi_sim/sim_config.h"

namespace soak {

class StreamCheck {
 public:
  // enabledFields: the fields the host enabled, ascending; counterField must
  // be one of them and carry the simulator's counter waveform over 0..32767.
  StreamCheck(const vozisim::SimConfig& cfg, std::vector<size_t> enabledFields, size_t counterField);

  // Takes one line as ReadLine delivered it (no line end). False when it is
  // malformed or its values differ from the simulator's; the first such
  // problem is kept.
  bool Take(std::string_view line);

  // The decoded values the host must see for sample n, enabled fields only.
  std::vector<int32_t> Expected(uint64_t n) const;

  uint64_t Lines() const { return lines_; }
  uint64_t Lost() const { return lost_; }
  uint64_t Bad() const { return bad_; }
  // The sample the last good line stood for.
  std::optional<uint64_t> LastSample() const { return last_; }
  const std::string& FirstProblem() const { return firstProblem_; }

 private:
  bool Fail(std::string_view line, const std::string& why);
  static std::optional<std::vector<int32_t>> Parse(std::string_view line);

  vozisim::SampleGenerator generator_;
  int64_t periodUs_;
  std::vector<size_t> fields_;
  size_t counterColumn_ = 0;
  struct Range {
    float minimum;
    float maximum;
  };
  std::vector<Range> ranges_;  // per enabled field

  std::optional<uint64_t> last_;
  uint64_t lines_ = 0;
  uint64_t lost_ = 0;
  uint64_t bad_ = 0;
  std::string firstProblem_;
};

}  // namespace soak
