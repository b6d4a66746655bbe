// The samples of one instrument for the longest time window, by stream
// position. Positions only grow; a jump between two batches is samples that
// were lost, and the ring keeps it as a jump so that nothing joins over it.
// Its memory grows with the samples that arrive, up to the bound: an info
// alone (which may announce any rate) allocates next to nothing.

const FIRST_ALLOCATION = 1024;

export class SampleRing {
  constructor(channelCount, capacity) {
    this.channelCount = channelCount;
    this.bound = capacity;
    this.capacity = Math.min(capacity, FIRST_ALLOCATION);
    this.positions = new Float64Array(this.capacity);
    this.values = new Float32Array(this.capacity * channelCount);
    this.head = 0; // index of the oldest sample
    this.length = 0;
  }

  // Twice the room (at most the bound), the samples in order from index 0.
  grow() {
    const capacity = Math.min(this.bound, this.capacity * 2);
    const C = this.channelCount;
    const positions = new Float64Array(capacity);
    const values = new Float32Array(capacity * C);
    for (let k = 0; k < this.length; ++k) {
      const i = this.indexOf(k);
      positions[k] = this.positions[i];
      values.set(this.values.subarray(i * C, i * C + C), k * C);
    }
    this.positions = positions;
    this.values = values;
    this.capacity = capacity;
    this.head = 0;
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
    if (this.length === this.capacity && this.capacity < this.bound) this.grow();
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
