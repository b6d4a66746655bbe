// The browser monitor in Debian's Chromium (headless), against vozi-host
// publishing simulated instruments: what the page shows must be what was
// published, and the page must survive a lost instrument, a dead broker and
// malformed messages. Logs and a screenshot go to <build>/tests/web/.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { after, before, test } from 'node:test';
import {
  alive, childrenOf, freePort, openBrowser, openMonitor, outDir, snapshot, startBroker, subscribe, until, voziHost,
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
