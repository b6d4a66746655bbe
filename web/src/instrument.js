// What the page knows about one instrument: its info, its status, its
// samples for the longest window, and the figures the panel shows. No DOM
// here, so that the same state is what the panel draws and what tests read.
import { Decimator } from './decimator.js';
import { FORMAT } from './payloads.js';
import { SampleRing } from './sample_ring.js';

export const LONGEST_WINDOW_S = 30;
// The ring's bound for very fast or very wide instruments (values held).
const MAX_VALUES = 1 << 22;
// Samples per second is counted over this much arrival time.
const RATE_SPAN_MS = 2000;

export class Instrument {
  constructor(id) {
    this.id = id;
    this.info = null;
    this.unknownFormat = null; // the format number of an info we cannot read
    this.status = 'unknown';
    this.statusSince = null; // Date
    this.offlineReason = '';
    this.factsChanged = true; // identity or status to be shown again
    this.resetStream();
  }

  resetStream() {
    this.ring = null;
    this.decimator = null;
    this.nextPosition = null;
    this.lost = 0;
    this.received = 0;
    this.arrivals = []; // [time ms, samples]
    // Positions before which samples are missing without a jump: gaps whose
    // size the publisher did not know, which only its events report.
    this.breaks = new Set();
    this.unknownGaps = 0;
    this.bucketSize = 0; // of the decimator's buckets; 0: to be chosen
    this.changed = true;
  }

  // A new info (a retained one on subscribing, or a restart of the stream).
  setInfo(info) {
    if (info.format !== FORMAT) {
      this.info = null;
      this.unknownFormat = info.format;
      this.factsChanged = true;
      this.resetStream();
      return;
    }
    this.unknownFormat = null;
    this.factsChanged = true;
    const same = this.info && this.info.started === info.started && this.info.periodUs === info.periodUs &&
      this.info.channels.length === info.channels.length;
    this.info = info;
    if (same) return;
    this.resetStream();
    const C = info.channels.length;
    const wanted = Math.ceil((LONGEST_WINDOW_S * 1e6) / info.periodUs) + 64;
    this.ring = new SampleRing(C, Math.max(16, Math.min(wanted, Math.floor(MAX_VALUES / C))));
    this.decimator = new Decimator(C);
  }

  get secondsPerSample() {
    return this.info ? this.info.periodUs / 1e6 : 0;
  }

  // A decoded batch. Positions that jump forward are lost samples; a batch
  // that starts before the next expected position means the stream started
  // over, and the page starts over with it.
  addBatch(batch, nowMs) {
    if (!this.ring) return;
    if (this.nextPosition !== null && batch.first < this.nextPosition) {
      const info = this.info;
      this.info = null;
      this.setInfo(info);
    }
    if (this.nextPosition !== null) this.lost += batch.first - this.nextPosition;
    const C = this.ring.channelCount;
    for (let i = 0; i < batch.count; ++i) {
      this.ring.push(batch.first + i, batch.values, i * C);
      this.decimator.add(batch.first + i, batch.values, i * C, this.breaks.has(batch.first + i));
    }
    this.nextPosition = batch.first + batch.count;
    this.received += batch.count;
    this.arrivals.push([nowMs, batch.count]);
    this.changed = true;
  }

  samplesPerSecond(nowMs) {
    while (this.arrivals.length && this.arrivals[0][0] < nowMs - RATE_SPAN_MS) this.arrivals.shift();
    let n = 0;
    for (const [, count] of this.arrivals) n += count;
    return Math.round((n * 1000) / RATE_SPAN_MS);
  }

  setStatus(status, when) {
    if (status === this.status) return;
    this.status = status;
    this.statusSince = when;
    if (status === 'online') this.offlineReason = '';
    this.factsChanged = true;
  }

  // Events say when and why an instrument went away; the status topic says
  // that it did (and is what a late subscriber gets, retained).
  applyEvent(event, now) {
    const when = typeof event.time === 'string' && !Number.isNaN(Date.parse(event.time))
      ? new Date(event.time) : now;
    if (event.event === 'gap' && event.count === null && Number.isInteger(event.position)) {
      this.breaks.add(event.position);
      this.unknownGaps += 1;
      this.factsChanged = true;
      // Samples after it may be folded already (the event can come after
      // them): fold again.
      if (this.nextPosition !== null && event.position < this.nextPosition) this.bucketSize = 0;
      this.changed = true;
      return;
    }
    const why = event.event === 'lost' ? 'lost' : event.event === 'stop' ? 'stopped' : null;
    if (!why) return;
    // A lost instrument's stream then stops too ("failed"): the loss is what
    // the user needs to see, and when it happened.
    if (why === 'stopped' && this.status === 'offline' && this.offlineReason.startsWith('lost')) return;
    this.setStatus('offline', when);
    this.statusSince = when;
    this.offlineReason = why + (event.reason ? `: ${event.reason}` : '');
    this.factsChanged = true;
  }

  // Range of positions a window of `seconds` ending at the newest sample shows.
  windowStart(seconds) {
    if (!this.info || this.nextPosition === null) return 0;
    return this.nextPosition - Math.round(seconds / this.secondsPerSample);
  }

  // Re-folds the ring's samples into buckets of the given size, for a new
  // window or plot width.
  rebucket(bucketSize, fromPosition) {
    if (!this.decimator) return;
    this.decimator.reset(bucketSize);
    const ring = this.ring;
    const C = ring.channelCount;
    for (let k = ring.lowerBound(fromPosition); k < ring.length; ++k) {
      const i = ring.indexOf(k);
      this.decimator.add(ring.positions[i], ring.values, i * C, this.breaks.has(ring.positions[i]));
    }
    this.changed = true;
  }
}
