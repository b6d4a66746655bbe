// The browser monitor in Debian's Chromium (headless), against vozi-host
// publishing simulated instruments: what the page shows must be what was
// published, and the page must survive a lost instrument, a dead broker and
// malformed messages. Logs and a screenshot go to <build>/tests/web/.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { after, before, test } from 'node:test';
import {
  alive, batchBytes, childrenOf, freePort, infoJson, openBrowser, openMonitor, outDir, publisher, snapshot, startBroker,
  subscribe, until, voziHost,
} from './support.mjs';

const START_MS = 60000; // simulators, discovery, start-up, broker
const LIVE_MS = 30000;

let browser;
before(async () => { browser = await openBrowser(); });
after(async () => { await browser?.close(); });

const online = (s, n) => {
  const all = Object.values(s.instruments);
  return all.length === n && all.every((i) => i.info && i.status === 'online' && i.received > 0);
};

test('vozi-host --simulate=3 monitor: the page shows each instrument and channel as published, '
  + 'and ending the host ends its broker', async () => {
  const host = voziHost('monitor-private', ['--simulate=3', 'monitor']);
  let sub;
  try {
    const url = (await host.waitFor(/http:\/\/127\.0\.0\.1:\d+\//, START_MS))[0];
    const mqttPort = Number((await host.waitFor(/mqtt:\/\/127\.0\.0\.1:(\d+)/, START_MS))[1]);
    const started = childrenOf(host.proc.pid);
    assert.equal(started.filter((c) => c.cmd.includes('mosquitto')).length, 1, 'one private broker runs');
    assert.equal(started.filter((c) => c.cmd.includes('vozi-sim')).length, 3, 'three simulators run');
    sub = subscribe('monitor-private-sub', mqttPort);
    // The subscriber first, so that it has every batch the page has.
    await until('samples of three instruments at the subscriber', LIVE_MS, () => Object.keys(sub.samples).length === 3);
    const page = await openMonitor(browser, url);
    await until('three instruments online in the page', LIVE_MS, async () => online(await snapshot(page), 3));
    await until('three info documents at the subscriber', LIVE_MS, () => Object.keys(sub.info).length === 3);

    for (const [id, info] of Object.entries(sub.info)) {
      const panel = `section.instrument[data-id="${id}"]`;
      await page.waitForFunction((sel) => document.querySelector(sel)?.textContent, { timeout: LIVE_MS },
        `${panel} h2`);
      assert.equal(await page.$eval(`${panel} h2`, (e) => e.textContent), info.model);
      assert.equal(await page.$eval(`${panel} .description`, (e) => e.textContent), info.description);
      const start = new Date(info.started);
      assert.equal(await page.$eval(`${panel} .axis`, (e) => e.textContent),
        await page.evaluate((ms) => { const d = new Date(ms); return `time: s since start (${d.toLocaleDateString()} `
          + `${d.toLocaleTimeString(undefined, { hour12: false })})`; }, start.getTime()));
      assert.equal(await page.$eval(`${panel} [data-field=uniqueId]`, (e) => e.textContent), info.unique_id);
      assert.equal(await page.$eval(`${panel} [data-field=firmware]`, (e) => e.textContent), info.firmware);
      const shown = await page.$$eval(`${panel} .channel label`, (ls) => ls.map((l) => [
        l.querySelector('.name').textContent, l.querySelector('.units').textContent]));
      assert.deepEqual(shown, info.channels.map((c) => [c.name, c.units ? ` (${c.units})` : '']));
    }

    // Values: every position both hold, in every channel, and every point
    // the plot was given (in the 2 s window) is a published value of its channel.
    await page.click('[data-window="2"]');
    const id = Object.keys(sub.info).sort()[0];
    const channels = sub.info[id].channels.length;
    await until('1000 positions held by both the page and the subscriber', LIVE_MS, async () => {
      const held = await page.evaluate((i) => window.voziMonitor.channel(i, 0).positions, id);
      return held.filter((p) => sub.samples[id]?.has(p)).length >= 1000;
    });
    const plots = await page.evaluate((i, n) => ({
      data: Array.from({ length: n }, (_, ch) => window.voziMonitor.plotData(i, ch)),
      next: window.voziMonitor.snapshot().instruments[i].nextPosition,
    }), id, channels);
    await until('the subscriber holding what the page plotted', LIVE_MS, () => sub.samples[id].has(plots.next - 1));
    for (let c = 0; c < channels; ++c) {
      const { positions, values } = await page.evaluate((i, ch) => window.voziMonitor.channel(i, ch), id, c);
      let compared = 0;
      positions.forEach((p, k) => {
        const published = sub.samples[id].get(p);
        if (!published) return;
        assert.equal(values[k], published[c], `channel ${c} at position ${p}`);
        compared += 1;
      });
      assert.ok(compared >= 1000, `channel ${c}: ${compared} positions compared`);
      const [xs, ys] = plots.data[c];
      const publishedValues = new Set([...sub.samples[id].values()].map((v) => v[c]));
      const drawn = ys.filter((y) => y !== null);
      assert.ok(drawn.length > 100 && xs.length === ys.length, `channel ${c}: ${drawn.length} points drawn`);
      for (const y of drawn) assert.ok(publishedValues.has(y), `channel ${c}: ${y} drawn but never published`);
    }
    assert.equal((await snapshot(page)).malformed, 0);
    await page.screenshot({ path: path.join(outDir, 'monitor.png') });
    assert.deepEqual(page.errors, []);
    await page.close();

    // SIGTERM (as Ctrl-C): the publisher and its broker end together.
    const { code } = await host.stop('SIGTERM');
    assert.ok(code === 0 || code === 130, `exit code ${code}`);
    assert.deepEqual(started.filter((c) => alive(c.pid)), [], 'nothing it started is left running');
  } finally {
    await host.stop('SIGTERM').catch(() => host.stop('SIGKILL'));
    await sub?.stop();
  }
});

test('monitor --broker: malformed messages are counted, a dead broker shows the banner, '
  + 'and data flows again once it is back', async () => {
  const [mqttPort, webPort] = [await freePort(), await freePort()];
  let broker = await startBroker('broker-1', mqttPort, webPort);
  const page = await openMonitor(browser, `http://127.0.0.1:${webPort}/`);
  const host = voziHost('monitor-external', ['--simulate=1', 'monitor', '--broker', `mqtt://127.0.0.1:${mqttPort}`]);
  try {
    await host.waitFor(/http_dir/, START_MS);
    await until('one instrument online in the page', LIVE_MS, async () => online(await snapshot(page), 1));
    const id = Object.keys((await snapshot(page)).instruments)[0];

    const bad = [['samples', 'short'], ['status', 'maybe'], ['events', '{'], ['info', '[1,2']];
    for (const [kind, payload] of bad) {
      spawnSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(mqttPort), '-t', `vozi/${id}/${kind}`, '-m', payload]);
    }
    const counted = await until('four malformed messages counted', LIVE_MS, async () => {
      const s = await snapshot(page);
      return s.malformed === 4 && s;
    });
    await until('samples still arriving after them', LIVE_MS, async () =>
      (await snapshot(page)).instruments[id].received > counted.instruments[id].received);

    await broker.stop('SIGKILL');
    await page.waitForSelector('#banner:not([hidden])', { timeout: LIVE_MS });
    assert.match(await page.$eval('#banner', (e) => e.textContent), /No connection to the broker/);
    const before = (await snapshot(page)).instruments[id].nextPosition;

    broker = await startBroker('broker-2', mqttPort, webPort);
    await page.waitForSelector('#banner[hidden]', { timeout: LIVE_MS });
    await until('samples published after the restart', LIVE_MS, async () =>
      (await snapshot(page)).instruments[id].nextPosition > before + 100);
    assert.deepEqual(page.errors, []);
  } finally {
    await host.stop('SIGINT').catch(() => host.stop('SIGKILL'));
    await page.close();
    await broker.stop();
  }
});

test('an instrument that hangs up turns offline, with the time it was lost', async () => {
  const [mqttPort, webPort] = [await freePort(), await freePort()];
  const broker = await startBroker('broker-lost', mqttPort, webPort);
  const page = await openMonitor(browser, `http://127.0.0.1:${webPort}/`);
  const host = voziHost('monitor-lost', ['--simulate=1', '--sim-arg=--hang-up-after=1500', 'monitor',
    '--broker', `mqtt://127.0.0.1:${mqttPort}`]);
  try {
    const lost = await until('the instrument lost in the page', START_MS, async () => {
      const ins = Object.values((await snapshot(page)).instruments);
      return ins.length === 1 && ins[0].received > 0 && ins[0].offlineReason.startsWith('lost') &&
        ins[0].shown.startsWith('offline') && ins[0];
    });
    assert.equal(lost.status, 'offline');
    assert.match(lost.shown, /^offline since \d\d:\d\d:\d\d \(lost: .+\)$/);
  } finally {
    await host.stop('SIGINT').catch(() => host.stop('SIGKILL'));
    await page.close();
    await broker.stop();
  }
});

// A broker of the test's own, the page on it, and a client that publishes.
async function ownBroker(name) {
  const [mqttPort, webPort] = [await freePort(), await freePort()];
  const broker = await startBroker(name, mqttPort, webPort);
  const page = await openMonitor(browser, `http://127.0.0.1:${webPort}/`);
  await until('the page connected', LIVE_MS, async () => (await snapshot(page)).connected);
  const client = await publisher(mqttPort);
  return { broker, page, client };
}

test('many ids and an oversized info: panels only for ids with an info, at most 64 of them and 64 channels '
  + 'each, the excess counted on the page', async () => {
  const { broker, page, client } = await ownBroker('broker-bounds');
  try {
    // One info of 8000 channels, and a batch of two samples for it.
    await client.publishAsync('vozi/wide/info', infoJson({ startedUs: 1e15, channels: 8000 }), { qos: 1 });
    await client.publishAsync('vozi/wide/samples', batchBytes({ first: 0, count: 2, channels: 8000, streamUs: 1e15,
      value: (p, c) => p * 10000 + c }));
    // 3000 ids that only say their status, then 70 more instruments.
    for (let k = 0; k < 3000; ++k) client.publish(`vozi/s${k}/status`, 'online');
    for (let k = 0; k < 70; ++k) {
      await client.publishAsync(`vozi/i${String(k).padStart(2, '0')}/info`, infoJson({ startedUs: 1e15 }), { qos: 1 });
    }
    const s = await until('64 panels and 7 instruments counted beyond them', LIVE_MS, async () => {
      const snap = await snapshot(page);
      return Object.keys(snap.instruments).length === 64 && snap.instrumentsNotShown === 7 &&
        snap.instruments.wide?.received === 2 && snap.waiting === 256 && snap;
    });
    assert.deepEqual(s.order, [...s.order].sort(), 'panels in the order of their ids');
    assert.equal(s.order.length, 64);
    assert.equal(s.malformed, 0);
    assert.match(await page.$eval('#excess', (e) => e.textContent), /^7 more instruments not shown/);
    const wide = 'section.instrument[data-id="wide"]';
    assert.equal(await page.$$eval(`${wide} .channel`, (cs) => cs.length), 64);
    assert.equal(await page.$eval(`${wide} .note`, (e) => e.textContent),
      '8000 channels: the first 64 are shown, 7936 are not.');
    for (const c of [0, 63]) {
      assert.deepEqual(await page.evaluate((ch) => window.voziMonitor.channel('wide', ch), c),
        { positions: [0, 1], values: [c, 10000 + c] }, `channel ${c}`);
    }
    assert.deepEqual(page.errors, []);
  } finally {
    await client.endAsync();
    await page.close();
    await broker.stop();
  }
});

test('a stream restart starts the plot afresh; a batch of another stream never joins it', async () => {
  const { broker, page, client } = await ownBroker('broker-restart');
  const ins = async () => (await snapshot(page)).instruments.r;
  const ch1 = () => page.evaluate(() => window.voziMonitor.channel('r', 1));
  const value = (p, c) => p + 0.5 * c;
  const publishBatch = (b) => client.publishAsync('vozi/r/samples', batchBytes({ channels: 2, value, ...b }));
  const info = (i) => client.publishAsync('vozi/r/info', infoJson({ channels: 2, ...i }), { qos: 1, retain: true });
  const [s0, s1, s2] = [1.7e15, 1.7e15 + 5e6, 1.7e15 + 9e6];
  try {
    // Format 2: a batch of a newer stream is held until its info comes; one
    // of an older stream is dropped; neither lands on the current axis.
    await info({ startedUs: s1 });
    await client.publishAsync('vozi/r/status', 'online', { qos: 1 });
    await publishBatch({ first: 0, count: 100, streamUs: s1 });
    await until('stream 1 in the page', LIVE_MS, async () => (await ins())?.nextPosition === 100);
    await publishBatch({ first: 100, count: 50, streamUs: s2 });
    await publishBatch({ first: 100, count: 50, streamUs: s0 });
    await client.publishAsync('vozi/r/events', JSON.stringify({ event: 'stop', reason: 'interrupted',
      position: 100, stream: s1, time: new Date().toISOString() }), { qos: 1 });
    let r = await until('held, dropped and stopped', LIVE_MS, async () => {
      const i = await ins();
      return i.held === 1 && i.dropped === 1 && i.shown.startsWith('offline') && i;
    });
    assert.equal(r.nextPosition, 100);
    assert.equal(r.received, 100);
    assert.match(r.shown, /^offline since \d\d:\d\d:\d\d \(stopped: interrupted\)$/);

    await info({ startedUs: s2 });
    await client.publishAsync('vozi/r/status', 'online', { qos: 1 });
    r = await until('stream 2 with its held batch', LIVE_MS, async () => {
      const i = await ins();
      return i.info.startedUs === s2 && i.status === 'online' && i;
    });
    assert.deepEqual([r.nextPosition, r.received, r.lost, r.held], [150, 50, 0, 0]);
    const held = await ch1();
    assert.deepEqual(held.positions, Array.from({ length: 50 }, (_, k) => 100 + k));
    assert.deepEqual(held.values, held.positions.map((p) => value(p, 1)));
    // The old stream's loss says nothing about the new one.
    await client.publishAsync('vozi/r/events', JSON.stringify({ event: 'lost', reason: 'unplugged', position: 100,
      stream: s1 }), { qos: 1 });
    await publishBatch({ first: 150, count: 10, streamUs: s2 });
    r = await until('the next batch of stream 2', LIVE_MS, async () => (await ins()).nextPosition === 160 && ins());
    assert.equal(r.status, 'online');

    // Format 1: a new start in the info, or positions going backwards.
    await info({ format: 1, startedUs: s0 });
    await publishBatch({ format: 1, first: 0, count: 80 });
    await until('a format-1 stream', LIVE_MS, async () => (await ins()).nextPosition === 80);
    await publishBatch({ format: 1, first: 5, count: 10 });
    r = await until('positions going backwards: a new plot', LIVE_MS, async () => (await ins()).nextPosition === 15 && ins());
    assert.deepEqual([r.received, r.lost], [10, 0]);
    assert.deepEqual((await ch1()).positions, Array.from({ length: 10 }, (_, k) => 5 + k));
    await info({ format: 1, startedUs: s1 });
    r = await until('a new start: an empty plot', LIVE_MS, async () => (await ins()).nextPosition === null && ins());
    assert.equal(r.received, 0);

    // No period: plotted by position.
    await info({ startedUs: s2 + 1, periodUs: null });
    await publishBatch({ first: 0, count: 30, streamUs: s2 + 1 });
    await until('a stream without a period', LIVE_MS, async () => (await ins()).nextPosition === 30);
    await page.waitForFunction(() => document.querySelector('[data-id="r"] .axis').textContent
      .startsWith('time: samples since start ('), { timeout: LIVE_MS });
    await page.waitForFunction(() => window.voziMonitor.plotData('r', 0)?.[0].at(-1) === 29, { timeout: LIVE_MS });
    assert.equal((await snapshot(page)).malformed, 0);
    assert.deepEqual(page.errors, []);
  } finally {
    await client.endAsync();
    await page.close();
    await broker.stop();
  }
});

// A marker as a lab's experiment software sends it, with anything on top.
const markerJson = (fields) => JSON.stringify({ format: 1, sender: 'stim-pc', ...fields });

test('experiment markers: a labelled line on every plot at its time on the stream\'s axis, only in the window, '
  + 'scrolling with the data; hostile text drawn as text, malformed markers counted and not drawn, at most 1000 kept',
async () => {
  const [mqttPort, webPort] = [await freePort(), await freePort()];
  const broker = await startBroker('broker-markers', mqttPort, webPort);
  const page = await openMonitor(browser, `http://127.0.0.1:${webPort}/`);
  const url = `mqtt://127.0.0.1:${mqttPort}`;
  const host = voziHost('monitor-markers', ['--simulate=1', 'monitor', '--broker', url]);
  const sub = subscribe('markers-sub', mqttPort);
  let client;
  // `vozi-host mark`, and the time it says it sent.
  const mark = async (name, args) => {
    const sender = voziHost(name, ['mark', '--broker', url, ...args]);
    const { code } = await sender.exited;
    assert.equal(code, 0, sender.output);
    // Its output may be read a moment after it ended.
    return Number((await until(`${name} saying when`, LIVE_MS, () => sender.output.match(/ at (\d+) us/)))[1]);
  };
  try {
    await until('one instrument online in the page', START_MS, async () => online(await snapshot(page), 1));
    const id = Object.keys((await snapshot(page)).instruments)[0];
    client = await publisher(mqttPort);
    const info = await until('its info at the subscriber', LIVE_MS, () => sub.info[id]);
    const origin = info.started_us;
    const seconds = (us) => (us - origin) / 1e6;
    const shown = (c) => page.evaluate((i, ch) => window.voziMonitor.markersShown(i, ch), id, c);
    const channels = info.channels.length;

    // The stream's newest sample on its axis: markers placed around it.
    const now = async () => (await snapshot(page)).instruments[id].nextPosition * info.period_us / 1e6;
    const at = async (s) => origin + Math.round(((await now()) + s) * 1e6);
    const html = '<b>bold</b><i>x</i>';
    const img = '<img src=x onerror="window.pwned=1">';
    const long = `long ${'é'.repeat(500)}`; // 1005 bytes: within the bound
    const expected = new Map(); // text -> [time_utc_us, sender]
    expected.set('stimulus 1 shown', [await mark('mark-moment', ['--sender', 'lab-pc', 'stimulus 1 shown']), 'lab-pc']);
    expected.set('tone', [await mark('mark-span', ['--sender', 'lab-pc', '--duration', '0.5', 'tone']), 'lab-pc']);
    for (const [text, s] of [[html, -1.5], [img, -3], [long, -4.5], ['with a clock', -6]]) {
      expected.set(text, [await at(s), 'stim-pc']);
    }
    const early = await at(-15); // outside a 10 s window, inside a 30 s one
    for (const [text, [time]] of expected) {
      if (text === 'stimulus 1 shown' || text === 'tone') continue;
      const extra = text === 'with a clock' ? { clock: { offset_us: 12, source: 'recorder' } } : {};
      await client.publishAsync('vozi/markers', markerJson({ text, time_utc_us: time, ...extra }), { qos: 1 });
    }
    // The same marker again (QoS 1 after a reconnection) is one marker.
    const again = markerJson({ text: html, time_utc_us: expected.get(html)[0] });
    await client.publishAsync('vozi/markers', again, { qos: 1 });
    await client.publishAsync('vozi/markers', markerJson({ text: '15 s ago', time_utc_us: early }), { qos: 1 });
    const t = await at(-1);
    const bad = ['not json', '[1]', '{"format": 1, "text": "\\ud800", "sender": "s", "time_utc_us": 1}', ...[
      { format: 2, text: 'x' }, { text: 'no sender', sender: undefined }, { text: 'x'.repeat(1025) },
      { text: 'two\nlines' }, { text: 'x', sender: 's'.repeat(129) }, { text: '' },
      { text: 'negative span', duration_us: -1 }, { text: 'fraction', time_utc_us: t + 0.5 }, { text: 'year 10000', time_utc_us: 253402300800000000 + 1e6 },
    ].map((m) => markerJson({ time_utc_us: t, ...m }))];
    for (const payload of bad) await client.publishAsync('vozi/markers', payload, { qos: 1 });

    const texts = [...expected.keys()].sort();
    // Labels that would overlap take another row, or none (three rows fit):
    // once the newest have scrolled away from the plot's end, these three fit.
    const labelled = [html, img, long];
    const drawn = await until('the markers of the last 10 s drawn on every plot', LIVE_MS, async () => {
      const all = await Promise.all(Array.from({ length: channels }, (_, c) => shown(c)));
      return all.every((p) => JSON.stringify(p.markers.map((m) => m.text).sort()) === JSON.stringify(texts) &&
        p.markers.filter((m) => labelled.includes(m.text) && m.label).length === labelled.length) && all;
    });
    // Sent after the others, on the same topic: they come after them.
    const s = await until('the malformed markers counted', LIVE_MS, async () => {
      const snap = await snapshot(page);
      return snap.malformed >= bad.length && snap;
    });
    assert.equal(s.malformed, bad.length, s.lastMalformed);
    assert.equal(s.markers, expected.size + 1);
    for (const plot of drawn) {
      for (const m of plot.markers) {
        const [time, sender] = expected.get(m.text);
        assert.ok(Math.abs(m.x - seconds(time)) < 1e-6, `${m.text}: at ${m.x} s, sent for ${seconds(time)} s`);
        const px = ((m.x - plot.min) / (plot.max - plot.min)) * plot.width;
        assert.ok(Math.abs(m.left - px) <= 1, `${m.text}: drawn at ${m.left} px, its time is at ${px} px`);
        assert.ok(m.title.startsWith(`${m.text}\n${sender} · `), m.title);
        assert.equal(m.width > 0, m.text === 'tone', `${m.text}: ${m.width} px wide`);
        if (m.text === 'tone') assert.ok(Math.abs(m.width - (0.5 / (plot.max - plot.min)) * plot.width) <= 1);
      }
      const byText = new Map(plot.markers.map((m) => [m.text, m]));
      assert.equal(byText.get(html).label, html); // short: drawn whole, as the characters it is
      assert.equal(byText.get(img).label, `${img.slice(0, 19)}…`);
      assert.equal(byText.get(long).label, `long ${'é'.repeat(14)}…`);
    }
    await page.screenshot({ path: path.join(outDir, 'markers.png') });
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    assert.equal(await page.$$eval('b, i, img', (es) => es.length), 0);
    assert.match(await page.$eval('#markers', (e) => e.title), /^last: /);

    // Paused, the plots stand still: a marker's tooltip is the full text,
    // and a marker that comes meanwhile is drawn on the frozen plot.
    await page.click('#pause');
    const still = await until('the plots frozen', LIVE_MS, async () => {
      const [a, b] = [await shown(0), await shown(0)];
      return a.max === b.max && a.markers.length && b;
    });
    const target = still.markers.find((m) => m.text === img);
    const over = await page.$(`section.instrument[data-id="${id}"] .channel .u-over`);
    const box = await over.boundingBox();
    await page.mouse.move(box.x + target.left, box.y + box.height - 5);
    assert.equal(await over.evaluate((e) => e.title), target.title);
    const middle = origin + Math.round(((still.min + still.max) / 2) * 1e6);
    await client.publishAsync('vozi/markers', markerJson({ text: 'while paused', time_utc_us: middle }), { qos: 1 });
    const paused = await until('the marker drawn while paused', LIVE_MS, async () => {
      const p = await shown(0);
      return p.markers.some((m) => m.text === 'while paused') && p;
    });
    assert.equal(paused.max, still.max);
    await page.click('#pause');

    // Markers scroll with the data; a wider window shows the older one.
    const left = drawn[0].markers.find((m) => m.text === 'tone').left;
    await until('the markers moving left with the data', LIVE_MS, async () =>
      (await shown(0)).markers.find((m) => m.text === 'tone').left < left - 5);
    await page.click('[data-window="30"]');
    await until('the marker of 15 s ago in the 30 s window', LIVE_MS, async () =>
      (await shown(0)).markers.some((m) => m.text === '15 s ago' && m.left > 0));

    // A flood: the last 1000 are kept; those before the stream are not drawn.
    for (let k = 0; k < 1200; ++k) {
      client.publish('vozi/markers', markerJson({ text: `flood ${k}`, time_utc_us: 1e15 + k }), { qos: 1 });
    }
    await until('1000 markers kept, none of them drawn', LIVE_MS, async () => {
      const p = await snapshot(page);
      return p.markers === 1000 && (await shown(0)).markers.length === 0;
    });
    const after = await mark('mark-after', ['after the flood']);
    await until('a marker after the flood drawn', LIVE_MS, async () =>
      (await shown(channels - 1)).markers.some((m) => m.text === 'after the flood' &&
        Math.abs(m.x - seconds(after)) < 1e-6));
    assert.equal((await snapshot(page)).malformed, bad.length);
    assert.deepEqual(page.errors, []);
  } finally {
    await client?.endAsync();
    await host.stop('SIGINT').catch(() => host.stop('SIGKILL'));
    await sub.stop();
    await page.close();
    await broker.stop();
  }
});
