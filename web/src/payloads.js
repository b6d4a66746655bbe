// Decoding of the four topics' payloads (docs/streaming.md). Every function
// either returns the decoded value or throws a Malformed with a short reason:
// the page counts those and carries on, it never trusts a message's shape.

// Payload formats this page reads. Format 1 ties a samples batch to its
// stream by arrival order only; format 2 names the stream (its start in
// microseconds) in the info, in every event and in every batch.
export const FORMATS = [1, 2];
const HEADER_BYTES = { 1: 24, 2: 32 };
// Channels per instrument the page keeps and plots; an info may announce any
// number (a uint16 in the batches), the excess is counted and shown.
export const MAX_CHANNELS = 64;
// A JSON document larger than this is not read at all.
const MAX_JSON_BYTES = 4 << 20;

export class Malformed extends Error {}

// <prefix>/<id>/<kind> -> {id, kind}; <prefix>/markers -> {id: null, kind:
// 'markers'}; null for a topic that is not ours.
export function splitTopic(prefix, topic) {
  if (!topic.startsWith(prefix + '/')) return null;
  const rest = topic.slice(prefix.length + 1).split('/');
  if (rest.length === 1 && rest[0] === 'markers') return { id: null, kind: 'markers' };
  if (rest.length !== 2 || rest[0] === '') return null;
  return { id: rest[0], kind: rest[1] };
}

function text(bytes) {
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    throw new Malformed('not UTF-8 text');
  }
}

function json(bytes, limit = MAX_JSON_BYTES) {
  if (bytes.byteLength > limit) throw new Malformed('JSON document too large');
  try {
    return JSON.parse(text(bytes));
  } catch (e) {
    throw e instanceof Malformed ? e : new Malformed('not JSON');
  }
}

const isFiniteNumber = (v) => typeof v === 'number' && Number.isFinite(v);

// The info document. A format the page does not know is returned as it is
// (the page says it cannot show that instrument); a document of a known
// format must have what the plots need. `stream` identifies the stream: the
// start in microseconds (format 2) or the start as text (format 1).
export function decodeInfo(bytes) {
  const info = json(bytes);
  if (info === null || typeof info !== 'object') throw new Malformed('info is not an object');
  if (!Number.isInteger(info.format)) throw new Malformed('info has no format');
  if (!FORMATS.includes(info.format)) return { format: info.format };
  // null: the instrument offers no period; positions are then the time axis.
  if (info.period_us !== null && (!Number.isInteger(info.period_us) || info.period_us <= 0)) {
    throw new Malformed('info has no valid period');
  }
  if (!Array.isArray(info.channels) || info.channels.length === 0) throw new Malformed('info has no channels');
  if (info.channels.length > 0xffff) throw new Malformed('info has more channels than a batch can carry');
  if (info.format === 2 && !Number.isSafeInteger(info.started_us)) throw new Malformed('info has no started_us');
  const channels = [];
  for (const [c, ch] of info.channels.entries()) {
    if (ch === null || typeof ch !== 'object' || typeof ch.name !== 'string') {
      throw new Malformed('info has a channel without a name');
    }
    if (c >= MAX_CHANNELS) continue;
    const ranged = isFiniteNumber(ch.min) && isFiniteNumber(ch.max) && ch.max > ch.min;
    channels.push({
      name: ch.name,
      units: typeof ch.units === 'string' ? ch.units : '',
      min: ranged ? ch.min : null,
      max: ranged ? ch.max : null,
    });
  }
  const str = (v) => (v === undefined || v === null ? '' : String(v));
  const started = str(info.started);
  return {
    format: info.format,
    uniqueId: str(info.unique_id),
    model: str(info.model),
    firmware: str(info.firmware),
    description: str(info.description),
    periodUs: info.period_us, // null: none
    periodSource: str(info.period_source),
    channels, // the first MAX_CHANNELS
    channelCount: info.channels.length, // as the batches carry them
    started,
    startedUs: info.format === 2 ? info.started_us : null,
    stream: info.format === 2 ? info.started_us : started,
  };
}

// A samples batch: {format, channels, first, hostTimeUs, streamUs (format 2;
// null for format 1), count, values}. values holds the first
// min(channels, MAX_CHANNELS) channels of each sample (Float32Array, sample
// by sample); the caller checks `channels` against the info.
export function decodeSamples(bytes) {
  if (bytes.byteLength < 2) throw new Malformed('samples batch shorter than its header');
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const format = view.getUint16(0, true);
  const header = HEADER_BYTES[format];
  if (!header) throw new Malformed(`samples batch of format ${format}`);
  if (bytes.byteLength < header) throw new Malformed('samples batch shorter than its header');
  const channels = view.getUint16(2, true);
  const count = view.getUint32(4, true);
  if (bytes.byteLength !== header + 4 * count * channels) {
    throw new Malformed('samples batch length differs from its counts');
  }
  if (channels === 0) throw new Malformed('samples batch without channels');
  const first = Number(view.getBigUint64(8, true));
  if (!Number.isSafeInteger(first + count)) throw new Malformed('samples batch position out of range');
  const hostTimeUs = Number(view.getBigInt64(16, true));
  const streamUs = format === 2 ? Number(view.getBigInt64(24, true)) : null;
  // Copied: the message buffer is reused, and it may not be 4-byte aligned.
  const kept = Math.min(channels, MAX_CHANNELS);
  const values = new Float32Array(count * kept);
  for (let i = 0; i < count; ++i) {
    for (let c = 0; c < kept; ++c) values[i * kept + c] = view.getFloat32(header + 4 * (i * channels + c), true);
  }
  return { format, channels, first, hostTimeUs, streamUs, count, values };
}

export function decodeStatus(bytes) {
  const s = text(bytes);
  if (s !== 'online' && s !== 'offline') throw new Malformed('status neither online nor offline');
  return s;
}

// An event; `stream` (format 2) is the started_us of the stream it concerns.
export function decodeEvent(bytes) {
  const e = json(bytes);
  if (e === null || typeof e !== 'object' || typeof e.event !== 'string') {
    throw new Malformed('event without a name');
  }
  if (e.stream !== undefined && !Number.isSafeInteger(e.stream)) throw new Malformed('event with a bad stream');
  return e;
}

// Experiment markers: bounds as the senders and the recorder keep them. A
// marker's text ends up in a plot and a tooltip; one line of bounded text is
// all the page takes, whatever a client on the broker publishes.
export const MAX_MARKER_TEXT_BYTES = 1024;
export const MAX_MARKER_SENDER_BYTES = 128;
// 10000-01-01 UTC: later times are no calendar date.
export const MAX_MARKER_TIME_US = 253402300800000000;
// The largest marker the bounds allow, every character escaped as \uXXXX.
const MAX_MARKER_JSON_BYTES = 16 << 10;
const CONTROL = /[\u0000-\u001f\u007f-\u009f]/;
// In a u-mode class, a surrogate matches only when it is not one of a pair.
const LONE_SURROGATE = /[\ud800-\udfff]/u;

function markerText(what, v, maxBytes) {
  if (typeof v !== 'string' || v === '') throw new Malformed(`marker without ${what}`);
  // An escaped lone surrogate is no text UTF-8 can carry.
  if (LONE_SURROGATE.test(v)) throw new Malformed(`marker ${what} is not UTF-8 text`);
  const bytes = new TextEncoder().encode(v).byteLength;
  if (bytes > maxBytes) throw new Malformed(`marker ${what} of ${bytes} bytes (at most ${maxBytes})`);
  if (CONTROL.test(v)) throw new Malformed(`marker ${what} with a control character`);
  return v;
}

const markerTime = (v) => Number.isInteger(v) && v >= 0 && v <= MAX_MARKER_TIME_US;

// A marker: {text, sender, timeUs, durationUs (null: a moment)}. Fields the
// page does not know are ignored.
export function decodeMarker(bytes) {
  const m = json(bytes, MAX_MARKER_JSON_BYTES);
  if (m === null || typeof m !== 'object' || Array.isArray(m)) throw new Malformed('marker is not an object');
  if (m.format !== 1) throw new Malformed('marker of a format other than 1');
  const text = markerText('text', m.text, MAX_MARKER_TEXT_BYTES);
  const sender = markerText('sender', m.sender, MAX_MARKER_SENDER_BYTES);
  if (!markerTime(m.time_utc_us)) throw new Malformed('marker without a valid time_utc_us');
  if (m.duration_us !== undefined && !markerTime(m.duration_us)) {
    throw new Malformed('marker with a duration_us that is no whole number of microseconds, 0 or more');
  }
  return { text, sender, timeUs: m.time_utc_us, durationUs: m.duration_us === undefined ? null : m.duration_us };
}
