// What the page knows about one instrument: its info, its status, its
// samples for the longest window, and the figures the panel shows. No DOM
// here, so that the same state is what the panel draws and what tests read.
//
// The plot shows one stream: positions count from 0 at its start, and the
// time axis is seconds since then. A new stream (another start in the info,
// a format-2 batch naming a newer stream, or format-1 positions going
// backwards) starts the plot afresh; a batch of another stream never joins
// the current one. Batches of a stream whose info has not arrived yet are
// held (a bounded few) until it does.
import { Decimator } from './decimator.js';
import { FORMATS, Malformed } from './payloads.js';
import { SampleRing } from './sample_ring.js';

export const LONGEST_WINDOW_S = 30;
// The ring's bound for very fast or very wide instruments (values held).
const MAX_VALUES = 1 << 22;
// Without a period the plots go by position: a window of one second shows
// this many samples.
export const UNTIMED_SAMPLES_PER_S = 1000;
// Samples per second is counted over this much arrival time.
const RATE_SPAN_MS = 2000;
// Held for a stream whose info is still on its way (MQTT orders messages per
// topic only, and the info travels at QoS 1 while batches go at QoS 0).
const HELD_BATCHES = 32;
const HELD_VALUES = 1 << 18;
const HELD_GAPS = 256;

export class Instrument {
  constructor(id) {
    this.id = id;
    this.info = null;
    this.unknownFormat = null; // the format number of an info we cannot read
    this.status = 'unknown';
    this.statusSince = null; // Date
    this.offlineReason = '';
    this.factsChanged = true; // identity or status to be shown again
    this.held = []; // [{batch, nowMs}] of streams newer than the info
    this.heldValues = 0;
    this.heldGaps = []; // [{stream, position}]
    // Batches not drawn: of another stream, repeated positions, or held
    // too long for an info that did not come.
    this.dropped = 0;
    this.markersChanged = false; // markers came: the plots to be drawn again
    this.shownRange = null; // the x range the plots were last drawn with
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

  // The current stream's start in microseconds (format 2), else null.
  get streamUs() {
    return this.info && this.info.format === 2 ? this.info.startedUs : null;
  }

  // A new info (a retained one on subscribing, or a restart of the stream).
  setInfo(info) {
    this.factsChanged = true;
    if (!FORMATS.includes(info.format)) {
      this.info = null;
      this.unknownFormat = info.format;
      this.resetStream();
      this.dropped += this.held.length; // no stream of it can be shown
      this.held = [];
      this.heldValues = 0;
      return;
    }
    this.unknownFormat = null;
    const same = this.info && this.info.format === info.format && this.info.stream === info.stream &&
      this.info.periodUs === info.periodUs && this.info.channelCount === info.channelCount;
    this.info = info;
    if (same) return;
    this.resetStream();
    const C = info.channels.length;
    const wanted = this.windowSamples(LONGEST_WINDOW_S) + 64;
    this.ring = new SampleRing(C, Math.max(16, Math.min(wanted, Math.floor(MAX_VALUES / C))));
    this.decimator = new Decimator(C);
    this.takeHeld();
  }

  // What was held for the new stream joins it, in the order it came; what
  // belongs to an older stream goes, a newer one's stays held.
  takeHeld() {
    const current = this.streamUs;
    const gaps = this.heldGaps;
    this.heldGaps = [];
    for (const g of gaps) {
      if (g.stream === current) this.addBreak(g.position);
      else if (current === null || g.stream > current) this.heldGaps.push(g);
    }
    const held = this.held;
    this.held = [];
    this.heldValues = 0;
    for (const { batch, nowMs } of held) {
      try {
        this.addBatch(batch, nowMs);
      } catch (e) {
        if (!(e instanceof Malformed)) throw e;
        this.dropped += 1; // its channels disagree with the info it waited for
      }
    }
  }

  hold(batch, nowMs) {
    this.held.push({ batch, nowMs });
    this.heldValues += batch.values.length;
    while (this.held.length > HELD_BATCHES || this.heldValues > HELD_VALUES) {
      this.heldValues -= this.held.shift().batch.values.length;
      this.dropped += 1;
    }
  }

  // When x = 0 is, in microseconds since 1970: the stream's start, for a
  // time axis only (a plot by position has no place for a moment in time).
  get originUs() {
    if (!this.timed) return null;
    if (this.info.startedUs !== null) return this.info.startedUs;
    const ms = Date.parse(this.info.started);
    return Number.isFinite(ms) ? ms * 1000 : null;
  }

  // The x axis: seconds since the stream's start, or without a period
  // positions (samples since the start).
  get timed() {
    return Boolean(this.info && this.info.periodUs);
  }

  get xPerSample() {
    return this.timed ? this.info.periodUs / 1e6 : 1;
  }

  // Samples in a window of the given seconds, and its span on the x axis.
  windowSamples(seconds) {
    return this.timed ? Math.round((seconds * 1e6) / this.info.periodUs) : seconds * UNTIMED_SAMPLES_PER_S;
  }

  windowSpan(seconds) {
    return this.timed ? seconds : seconds * UNTIMED_SAMPLES_PER_S;
  }

  // A decoded batch. Positions that jump forward are lost samples. A
  // format-1 batch that starts before the next expected position means the
  // stream started over, and the page starts over with it; a format-2 batch
  // says which stream it belongs to.
  addBatch(batch, nowMs) {
    if (batch.format === 2 && batch.streamUs !== this.streamUs) {
      if (this.streamUs === null || batch.streamUs > this.streamUs) this.hold(batch, nowMs);
      else this.dropped += 1;
      return;
    }
    if (!this.ring) return;
    if (batch.format !== this.info.format) { // a batch of the stream before a format change
      this.dropped += 1;
      return;
    }
    if (batch.channels !== this.info.channelCount) throw new Malformed('samples batch channel count differs from info');
    if (this.nextPosition !== null && batch.first < this.nextPosition) {
      if (batch.format === 2) { // the same stream again: a repeated batch
        this.dropped += 1;
        return;
      }
      const info = this.info;
      this.info = null;
      this.setInfo(info);
    }
    if (this.nextPosition !== null) this.lost += batch.first - this.nextPosition;
    // The batch holds the channels the page keeps, as the ring does.
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

  addBreak(position) {
    this.breaks.add(position);
    this.unknownGaps += 1;
    this.factsChanged = true;
    // Samples after it may be folded already (the event can come after
    // them): fold again.
    if (this.nextPosition !== null && position < this.nextPosition) this.bucketSize = 0;
    this.changed = true;
  }

  // Events say when and why an instrument went away; the status topic says
  // that it did (and is what a late subscriber gets, retained). A format-2
  // event names its stream: one of an older stream says nothing about the
  // current one, and a gap of a newer one waits for that stream's info.
  applyEvent(event, now) {
    const when = typeof event.time === 'string' && !Number.isNaN(Date.parse(event.time))
      ? new Date(event.time) : now;
    const current = this.streamUs;
    const stream = event.stream;
    const older = stream !== undefined && current !== null && stream < current;
    if (older) return;
    if (event.event === 'gap' && event.count === null && Number.isSafeInteger(event.position)) {
      if (stream !== undefined && stream !== current) {
        this.heldGaps.push({ stream, position: event.position });
        if (this.heldGaps.length > HELD_GAPS) this.heldGaps.shift();
      } else {
        this.addBreak(event.position);
      }
      return;
    }
    const why = event.event === 'lost' ? 'lost' : event.event === 'stop' ? 'stopped' : null;
    if (!why) return;
    // A lost instrument's stream then stops too ("failed"): the loss is what
    // the user needs to see, and when it happened.
    if (why === 'stopped' && this.status === 'offline' && this.offlineReason.startsWith('lost')) return;
    this.setStatus('offline', when);
    this.statusSince = when;
    const reason = typeof event.reason === 'string' ? event.reason.slice(0, 200) : '';
    this.offlineReason = why + (reason ? `: ${reason}` : '');
    this.factsChanged = true;
  }

  // Range of positions a window of `seconds` ending at the newest sample shows.
  windowStart(seconds) {
    if (!this.info || this.nextPosition === null) return 0;
    return this.nextPosition - this.windowSamples(seconds);
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
