#include "vozi_sim/output_queue.h"

namespace vozisim {
namespace {

// Chunks are coalesced up to this size so that a batch of short lines goes
// out in one write.
constexpr size_t kChunkBytes = 16384;

}  // namespace

OutputQueue::OutputQueue(const SimConfig& cfg)
    : lfCr_(cfg.lfCr),
      split_(cfg.splitWrites),
      splitGap_(cfg.splitGapUs > 0 ? cfg.splitGapUs : 0),
      noiseEvery_(cfg.noiseEvery) {}

std::string OutputQueue::NoiseLine(uint64_t k) {
  // xorshift64 seeded by k: the same noise on every run.
  uint64_t x = 0x9E3779B97F4A7C15ull ^ (k * 0xBF58476D1CE4E5B9ull);
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::string noise;
  const size_t length = 1 + next() % 16;
  while (noise.size() < length) {
    const char b = static_cast<char>(next() & 0xFF);
    if (b != '\r' && b != '\n') noise += b;
  }
  noise += '\n';
  return noise;
}

void OutputQueue::PushLine(std::string_view text, bool isData) {
  ++linesPushed_;
  if (noiseEvery_ > 0 && linesPushed_ % noiseEvery_ == 0) Append(NoiseLine(noiseCount_++), 0, 0);
  std::string line(text);
  line += lfCr_ ? "\n\r" : "\r\n";
  Append(line, 1, isData ? 1 : 0);
}

void OutputQueue::Append(std::string_view bytes, uint32_t lines, uint32_t dataLines) {
  pendingBytes_ += bytes.size();
  if (split_) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const bool last = i + 1 == bytes.size();
      chunks_.push_back({std::string(1, bytes[i]), 0, last ? lines : 0, last ? dataLines : 0});
    }
    return;
  }
  if (chunks_.empty() || chunks_.back().bytes.size() >= kChunkBytes) chunks_.emplace_back();
  Chunk& c = chunks_.back();
  c.bytes.append(bytes);
  c.lines += lines;
  c.dataLines += dataLines;
}

void OutputQueue::Clear() {
  chunks_.clear();
  pendingBytes_ = 0;
  resumeAt_.reset();
}

OutputQueue::FlushResult OutputQueue::Flush(const Sink& sink, Clock::time_point now) {
  if (resumeAt_) {
    if (now < *resumeAt_) return FlushResult::Paused;
    resumeAt_.reset();
  }
  while (!chunks_.empty()) {
    Chunk& c = chunks_.front();
    const long n = sink(c.bytes.data() + c.offset, c.bytes.size() - c.offset);
    if (n < 0) return FlushResult::Failed;
    if (n == 0) return FlushResult::Blocked;
    c.offset += static_cast<size_t>(n);
    pendingBytes_ -= static_cast<size_t>(n);
    if (c.offset < c.bytes.size()) continue;
    linesWritten_ += c.lines;
    dataLinesWritten_ += c.dataLines;
    chunks_.pop_front();
    if (split_ && splitGap_.count() > 0 && !chunks_.empty()) {
      resumeAt_ = now + splitGap_;
      return FlushResult::Paused;
    }
  }
  return FlushResult::Done;
}

}  // namespace vozisim
