#include "publish/sample_batch.h"

#include <cstring>

namespace vozihost {
namespace {

// Little-endian whatever the machine's order.
void Put(std::string& out, size_t at, uint64_t value, size_t bytes) {
  for (size_t k = 0; k < bytes; ++k) out[at + k] = static_cast<char>((value >> (8 * k)) & 0xff);
}

void Append32(std::string& out, uint32_t value) {
  const size_t at = out.size();
  out.resize(at + 4);
  Put(out, at, value, 4);
}

}  // namespace

void SampleBatch::Add(uint64_t position, int64_t hostTimeUs, const std::vector<double>& values) {
  if (count_ == 0) {
    first_ = position;
    hostTimeUs_ = hostTimeUs;
    bytes_.assign(kSamplesHeaderBytes, '\0');
  }
  for (size_t k = 0; k < channels_; ++k) {
    const float v = k < values.size() ? static_cast<float>(values[k]) : 0.0f;
    uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    Append32(bytes_, bits);
  }
  ++count_;
}

std::string SampleBatch::Take() {
  Put(bytes_, 0, kSamplesFormat, 2);
  Put(bytes_, 2, channels_, 2);
  Put(bytes_, 4, count_, 4);
  Put(bytes_, 8, first_, 8);
  Put(bytes_, 16, static_cast<uint64_t>(hostTimeUs_), 8);
  Put(bytes_, 24, static_cast<uint64_t>(streamUs_), 8);
  count_ = 0;
  std::string message;
  message.swap(bytes_);
  return message;
}

}  // namespace vozihost
