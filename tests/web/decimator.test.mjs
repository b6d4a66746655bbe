// The page's decimation for drawing: fewer points, but never a line drawn
// over lost samples and never a value that was not published.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Decimator } from '../../web/src/decimator.js';
import { Instrument } from '../../web/src/instrument.js';

// Two channels; channel 0 is the position itself, channel 1 its negation.
function fold(bucketSize, positions) {
  const d = new Decimator(2);
  d.reset(bucketSize);
  for (const p of positions) d.add(p, Float32Array.of(p, -p), 0);
  return d;
}
const range = (a, b) => Array.from({ length: b - a }, (_, k) => a + k);

test('a jump in positions is a null point between the last sample before it and the first after', () => {
  for (const bucketSize of [1, 4, 10]) {
    // 0..22, then 30..49: the jump falls inside a bucket for every size but 1.
    const [xs, ys0, ys1] = fold(bucketSize, [...range(0, 23), ...range(30, 50)]).plotData(0, 1);
    const breaks = ys0.flatMap((y, k) => (y === null ? [k] : []));
    assert.equal(breaks.length, 1, `bucket ${bucketSize}`);
    const k = breaks[0];
    assert.equal(ys1[k], null);
    assert.ok(Math.max(...ys0.slice(0, k)) === 22 && Math.min(...ys0.slice(k + 1)) === 30, `bucket ${bucketSize}`);
    assert.ok(xs[k - 1] < xs[k] && xs[k] < xs[k + 1]);
  }
});

test('each bucket is its lowest and highest sample in the order they came, within the window', () => {
  const d = new Decimator(2);
  d.reset(4);
  const values = [5, 9, 1, 7, 2, 2, 8, 3];
  values.forEach((v, p) => d.add(p, Float32Array.of(v, -v), 0));
  let [xs, ys0, ys1] = d.plotData(0, 0.5);
  assert.deepEqual(ys0, [9, 1, 2, 8]); // bucket 0..3: high (9) came before low (1)
  assert.deepEqual(ys1, [-9, -1, -2, -8]);
  assert.deepEqual(xs, [0, 1.5, 2, 3.5]);
  d.trim(4);
  [xs, ys0] = d.plotData(4, 0.5);
  assert.deepEqual(ys0, [2, 8]);
});

test('a gap of unknown size (an event, no jump in positions) is a break too, whether the event comes '
  + 'before or after the samples that follow it', () => {
  const batch = (first, count) => ({ format: 1, channels: 1, first, count,
    values: Float32Array.from(range(first, first + count)) });
  for (const eventFirst of [true, false]) {
    const ins = new Instrument('7');
    ins.setInfo({ format: 1, periodUs: 1000, started: 'x', stream: 'x', startedUs: null, channelCount: 1,
      channels: [{ name: 'a', units: '', min: null, max: null }] });
    ins.bucketSize = 4; // as the first frame chooses
    ins.rebucket(4, 0);
    ins.addBatch(batch(0, 40), 0);
    if (eventFirst) ins.applyEvent({ event: 'gap', position: 40, count: null }, new Date());
    ins.addBatch(batch(40, 40), 0);
    if (!eventFirst) ins.applyEvent({ event: 'gap', position: 40, count: null }, new Date());
    if (ins.bucketSize === 0) ins.rebucket(4, 0); // as the next frame does
    const [, ys] = ins.decimator.plotData(0, 0.001);
    const k = ys.indexOf(null);
    assert.ok(k > 0 && Math.max(...ys.slice(0, k)) === 39 && Math.min(...ys.slice(k + 1)) === 40,
      `event ${eventFirst ? 'before' : 'after'} the samples: ${JSON.stringify(ys)}`);
    assert.equal(ins.lost, 0);
    assert.equal(ins.unknownGaps, 1);
  }
});
