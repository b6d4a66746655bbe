// The samples of one instrument for the longest time window, by stream
// position. Positions only grow; a jump between two batches is samples that
// were lost, and the ring keeps it as a jump so that nothing joins over it.

export class SampleRing {
  constructor(channelCount, capacity) {
    this.channelCount = channelCount;
    this.capacity = capacity;
    this.positions = new Float64Array(capacity);
    this.values = new Float32Array(capacity * channelCount);
    this.head = 0; // index of the oldest sample
    this.length = 0;
  }

  get latest() {
    return this.length === 0 ? -1 : this.positions[this.indexOf(this.length - 1)];
  }

  // Ring index of the k-th oldest sample.
  indexOf(k) {
    return (this.head + k) % this.capacity;
  }

  push(position, values, offset) {
    const C = this.channelCount;
    let slot;
    if (this.length < this.capacity) {
      slot = this.indexOf(this.length++);
    } else {
      slot = this.head;
      this.head = (this.head + 1) % this.capacity;
    }
    this.positions[slot] = position;
    this.values.set(values.subarray(offset, offset + C), slot * C);
  }

  // Index k of the first sample at or after position (length if none).
  lowerBound(position) {
    let lo = 0;
    let hi = this.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (this.positions[this.indexOf(mid)] < position) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  // Positions and one channel's values from position `from` on, as plain
  // arrays (what a test compares with what was published).
  channel(c, from = 0) {
    const positions = [];
    const values = [];
    for (let k = this.lowerBound(from); k < this.length; ++k) {
      const i = this.indexOf(k);
      positions.push(this.positions[i]);
      values.push(this.values[i * this.channelCount + c]);
    }
    return { positions, values };
  }
}
