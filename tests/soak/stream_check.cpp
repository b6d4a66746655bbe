#include "stream_check.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace soak {
namespace {

constexpr uint64_t kCounterModulus = 32768;

}  // namespace

StreamCheck::StreamCheck(const vozisim::SimConfig& cfg, std::vector<size_t> enabledFields, size_t counterField)
    : generator_(cfg), periodUs_(vozisim::StartPeriodMicros(cfg).value_or(1000)), fields_(std::move(enabledFields)) {
  const auto& channels = generator_.Channels();
  auto counter = std::find(fields_.begin(), fields_.end(), counterField);
  if (counter == fields_.end()) throw std::invalid_argument("the counter field must be enabled");
  counterColumn_ = static_cast<size_t>(counter - fields_.begin());
  for (size_t field : fields_) {
    const auto minimum = vozisim::RangeValue(channels.at(field).minimum, false);
    const auto maximum = vozisim::RangeValue(channels.at(field).maximum, true);
    if (!minimum || !maximum || *minimum == *maximum) throw std::invalid_argument("field without a usable range");
    ranges_.push_back({*minimum, *maximum});
  }
}

std::vector<int32_t> StreamCheck::Expected(uint64_t n) const {
  // The simulator's own texts and the host's arithmetic (ScaleToDecoded), as
  // vozisim::ExpectedDecoded has them, with the channel set resolved once.
  const std::vector<std::string> texts = generator_.Fields(n, periodUs_);
  std::vector<int32_t> values;
  values.reserve(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) {
    const std::string& text = texts.at(fields_[i]);
    if (text == "*") {
      values.push_back(0);
      continue;
    }
    float v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    values.push_back(vozisim::ScaleToDecoded(v, ranges_[i].minimum, ranges_[i].maximum).value_or(-1));
  }
  return values;
}

std::optional<std::vector<int32_t>> StreamCheck::Parse(std::string_view line) {
  if (line.size() < 3 || line.substr(0, 2) != "@ ") return std::nullopt;
  std::vector<int32_t> values;
  const char* p = line.data() + 2;
  const char* end = line.data() + line.size();
  for (;;) {
    int32_t v = 0;
    auto [next, ec] = std::from_chars(p, end, v);
    // Decoded values are plain digits in 0..32767: no sign, no spaces.
    if (ec != std::errc() || next == p || *p == '-' || v > 32767) return std::nullopt;
    values.push_back(v);
    if (next == end) return values;
    if (*next != ',') return std::nullopt;
    p = next + 1;
  }
}

bool StreamCheck::Fail(std::string_view line, const std::string& why) {
  ++bad_;
  if (firstProblem_.empty()) firstProblem_ = why + ": \"" + std::string(line.substr(0, 120)) + "\"";
  return false;
}

bool StreamCheck::Take(std::string_view line) {
  const auto values = Parse(line);
  if (!values) return Fail(line, "malformed line");
  if (values->size() != fields_.size()) return Fail(line, "wrong number of values");

  // The sample is the first one at or after the next expected whose counter
  // matches: lines only ever go missing, never come back.
  const uint64_t next = last_ ? *last_ + 1 : 0;
  const uint64_t counter = static_cast<uint64_t>((*values)[counterColumn_]);
  const uint64_t n = next + (counter + kCounterModulus - next % kCounterModulus) % kCounterModulus;

  const std::vector<int32_t> expected = Expected(n);
  if (*values != expected) {
    std::string want = "@ ";
    for (size_t i = 0; i < expected.size(); ++i) want += (i ? "," : "") + std::to_string(expected[i]);
    return Fail(line, "values differ from sample " + std::to_string(n) + " (\"" + want + "\")");
  }
  lost_ += n - next;
  last_ = n;
  ++lines_;
  return true;
}

}  // namespace soak
