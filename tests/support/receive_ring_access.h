#pragma once
// Reaches into a ring to place its positions, so that wrapping can be tested
// without first pushing 64 KiB through it.
#include <cstdint>

#include "serial/receive_ring.h"

struct ReceiveRingTestAccess {
  // An empty ring afterwards holds w - r bytes of whatever its storage holds.
  static void SetPositions(ReceiveRing& ring, int32_t readPos, int32_t writePos) {
    ring.readPos_.store(readPos & (ReceiveRing::kCapacity - 1));
    ring.writePos_.store(writePos & (ReceiveRing::kCapacity - 1));
  }
};
