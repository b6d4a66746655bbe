#include "sample_converter.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vozipy {
namespace {

constexpr int32_t kScaledMax = 32767;

enum class LineStatus { Ok, NoPrefix, WrongCount, BadValue };

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

double ColumnScale::ToPhysical(int32_t decoded) const {
  if (!Scaled()) return decoded;
  const double low = *minimum;
  const double high = *maximum;
  if (high == low) return low;
  return decoded / kFullScale * (high - low) + low;
}

double ColumnScale::Step() const {
  if (!Scaled()) return 1.0;
  return (static_cast<double>(*maximum) - *minimum) / kFullScale;
}

SampleConverter::SampleConverter(std::vector<ColumnScale> columns) : columns_(std::move(columns)) {
  for (const ColumnScale& c : columns_) scaled_.push_back(c.Scaled());
}

void SampleConverter::Feed(std::string_view text) {
  // The rest of a line cut off by the previous piece.
  if (!partial_.empty()) {
    const auto end = std::find_if(text.begin(), text.end(), IsLineEnd);
    const size_t n = static_cast<size_t>(end - text.begin());
    partial_.append(text.data(), n);
    if (end == text.end()) {
      if (partial_.size() >= kMaxLine) {
        Line(partial_);
        partial_.clear();
      }
      return;
    }
    Line(partial_);
    partial_.clear();
    text.remove_prefix(n + 1);
  }
  for (;;) {
    const auto end = std::find_if(text.begin(), text.end(), IsLineEnd);
    const size_t n = static_cast<size_t>(end - text.begin());
    if (end == text.end()) {
      partial_.assign(text.data(), n);
      if (partial_.size() >= kMaxLine) {
        Line(partial_);
        partial_.clear();
      }
      return;
    }
    Line(text.substr(0, n));
    text.remove_prefix(n + 1);
  }
}

void SampleConverter::Line(std::string_view line) {
  const size_t expected = columns_.size();
  const size_t start = raw_.size();
  auto status = [&]() -> LineStatus {
    if (line.size() < 2 || line[0] != '@' || line[1] != ' ') return LineStatus::NoPrefix;
    line.remove_prefix(2);
    // One trailing comma is part of the format; more than one is not.
    if (!line.empty() && line.back() == ',') line.remove_suffix(1);
    if (line.empty()) return expected == 0 ? LineStatus::Ok : LineStatus::WrongCount;
    const char* p = line.data();
    const char* const end = p + line.size();
    for (size_t k = 0;; ++k) {
      if (k == expected) return LineStatus::WrongCount;
      const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
      const char* fieldEnd = comma ? comma : end;
      int32_t value = 0;
      // from_chars takes a leading '-' but no '+' or spaces, exactly what
      // the enabler writes.
      const auto [ptr, ec] = std::from_chars(p, fieldEnd, value);
      if (p == fieldEnd || ec != std::errc() || ptr != fieldEnd) return LineStatus::BadValue;
      if (scaled_[k] && (value < 0 || value > kScaledMax)) return LineStatus::BadValue;
      raw_.push_back(value);
      if (!comma) return k + 1 == expected ? LineStatus::Ok : LineStatus::WrongCount;
      p = comma + 1;
    }
  }();
  switch (status) {
    case LineStatus::Ok:
      ++counts_.samples;
      // A row without channels still stands for one sample.
      if (expected == 0) raw_.push_back(0);
      return;
    case LineStatus::NoPrefix: ++counts_.noPrefix; break;
    case LineStatus::WrongCount: ++counts_.wrongCount; break;
    case LineStatus::BadValue: ++counts_.badValue; break;
  }
  ++counts_.malformed;
  raw_.resize(start);
}

void SampleConverter::TakeRaw(size_t rows, int32_t* out) {
  rows = std::min(rows, Ready());
  if (!columns_.empty()) std::memcpy(out, raw_.data() + head_, rows * columns_.size() * sizeof(int32_t));
  Consume(rows);
}

void SampleConverter::TakePhysical(size_t rows, double* out) {
  rows = std::min(rows, Ready());
  const size_t width = columns_.size();
  const int32_t* in = raw_.data() + head_;
  // ColumnScale::ToPhysical with its choices made once per column; the same
  // operations in the same order, so the same doubles.
  std::vector<double> low(width), span(width);
  std::vector<unsigned char> kind(width);  // 0: unscaled, 1: flat range, 2: scaled
  for (size_t k = 0; k < width; ++k) {
    const ColumnScale& c = columns_[k];
    if (!c.Scaled()) continue;
    low[k] = *c.minimum;
    span[k] = static_cast<double>(*c.maximum) - low[k];
    kind[k] = static_cast<double>(*c.maximum) == low[k] ? 1 : 2;
  }
  for (size_t r = 0; r < rows; ++r, in += width, out += width) {
    for (size_t k = 0; k < width; ++k) {
      switch (kind[k]) {
        case 0: out[k] = in[k]; break;
        case 1: out[k] = low[k]; break;
        default: out[k] = in[k] / kFullScale * span[k] + low[k]; break;
      }
    }
  }
  Consume(rows);
}

void SampleConverter::Consume(size_t rows) {
  head_ += rows * Stride();
  // Taken rows are dropped once they make up the larger part of the store,
  // so a long stream read in small pieces does not grow it.
  if (head_ == raw_.size()) {
    raw_.clear();
    head_ = 0;
  } else if (head_ > raw_.size() / 2) {
    raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

}  // namespace vozipy
