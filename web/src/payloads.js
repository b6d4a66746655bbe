// Decoding of the four topics' payloads (docs/streaming.md). Every function
// either returns the decoded value or throws a Malformed with a short reason:
// the page counts those and carries on, it never trusts a message's shape.

export const FORMAT = 1;
const HEADER_BYTES = 24;

export class Malformed extends Error {}

// <prefix>/<id>/<kind> -> {id, kind}, or null for a topic that is not ours.
export function splitTopic(prefix, topic) {
  if (!topic.startsWith(prefix + '/')) return null;
  const rest = topic.slice(prefix.length + 1).split('/');
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

function json(bytes) {
  try {
    return JSON.parse(text(bytes));
  } catch (e) {
    throw e instanceof Malformed ? e : new Malformed('not JSON');
  }
}

const isFiniteNumber = (v) => typeof v === 'number' && Number.isFinite(v);

// The info document. A format other than ours is returned as it is (the page
// says it cannot show that instrument); a document of our format must have
// what the plots need.
export function decodeInfo(bytes) {
  const info = json(bytes);
  if (info === null || typeof info !== 'object') throw new Malformed('info is not an object');
  if (!Number.isInteger(info.format)) throw new Malformed('info has no format');
  if (info.format !== FORMAT) return { format: info.format };
  if (!Number.isInteger(info.period_us) || info.period_us <= 0) throw new Malformed('info has no period');
  if (!Array.isArray(info.channels) || info.channels.length === 0) throw new Malformed('info has no channels');
  const channels = info.channels.map((c) => {
    if (c === null || typeof c !== 'object' || typeof c.name !== 'string') {
      throw new Malformed('info has a channel without a name');
    }
    const ranged = isFiniteNumber(c.min) && isFiniteNumber(c.max) && c.max > c.min;
    return {
      name: c.name,
      units: typeof c.units === 'string' ? c.units : '',
      min: ranged ? c.min : null,
      max: ranged ? c.max : null,
    };
  });
  const str = (v) => (v === undefined || v === null ? '' : String(v));
  return {
    format: FORMAT,
    uniqueId: str(info.unique_id),
    model: str(info.model),
    firmware: str(info.firmware),
    description: str(info.description),
    periodUs: info.period_us,
    periodSource: str(info.period_source),
    channels,
    started: str(info.started),
  };
}

// A samples batch: {first, hostTimeUs, count, values (Float32Array, sample by
// sample, channel by channel)}. channelCount is what the instrument's info
// announced; a batch that disagrees is malformed.
export function decodeSamples(bytes, channelCount) {
  if (bytes.byteLength < HEADER_BYTES) throw new Malformed('samples batch shorter than its header');
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const format = view.getUint16(0, true);
  if (format !== FORMAT) throw new Malformed(`samples batch of format ${format}`);
  const channels = view.getUint16(2, true);
  const count = view.getUint32(4, true);
  if (channels !== channelCount) throw new Malformed('samples batch channel count differs from info');
  if (bytes.byteLength !== HEADER_BYTES + 4 * count * channels) {
    throw new Malformed('samples batch length differs from its counts');
  }
  const first = Number(view.getBigUint64(8, true));
  const hostTimeUs = Number(view.getBigInt64(16, true));
  // Copied: the message buffer is reused, and it may not be 4-byte aligned.
  const values = new Float32Array(count * channels);
  for (let i = 0; i < values.length; ++i) values[i] = view.getFloat32(HEADER_BYTES + 4 * i, true);
  return { first, hostTimeUs, count, values };
}

export function decodeStatus(bytes) {
  const s = text(bytes);
  if (s !== 'online' && s !== 'offline') throw new Malformed('status neither online nor offline');
  return s;
}

export function decodeEvent(bytes) {
  const e = json(bytes);
  if (e === null || typeof e !== 'object' || typeof e.event !== 'string') {
    throw new Malformed('event without a name');
  }
  return e;
}
