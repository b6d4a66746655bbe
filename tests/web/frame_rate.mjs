// The monitor page's frame rate under the heaviest load it is built for:
// eight simulated instruments of sixteen channels at 1 kHz, published by
// vozi-host monitor, shown in headless Chromium. Prints the frames per second
// counted with requestAnimationFrame, the longest frame, and what arrived.
//
// usage: node tests/web/frame_rate.mjs [SECONDS] [WIDTHxHEIGHT]
//   (default 10 s in a 1920x1080 window; VOZI_BUILD_DIR as for the tests)
import { openBrowser, openMonitor, snapshot, until, voziHost } from './support.mjs';

const seconds = Number(process.argv[2] || 10);
const [width, height] = (process.argv[3] || '1920x1080').split('x').map(Number);
const instruments = 8;

// vozi-sim's channel count includes the time field.
const host = voziHost('frame-rate', [`--simulate=${instruments}`, '--sim-arg=--channels=17', 'monitor',
  '--period', '1000']);
const browser = await openBrowser();
try {
  const url = (await host.waitFor(/http:\/\/127\.0\.0\.1:\d+\//, 120000))[0];
  const page = await openMonitor(browser, url, width, height);
  await until('every instrument streaming into the page', 60000, async () => {
    const all = Object.values((await snapshot(page)).instruments);
    return all.length === instruments && all.every((i) => i.info?.channels.length === 16 && i.received > 2000);
  });
  const before = await snapshot(page);
  const frames = await page.evaluate((s) => new Promise((resolve) => {
    let n = 0;
    let longest = 0;
    const t0 = performance.now();
    let last = t0;
    const tick = (t) => {
      n += 1;
      longest = Math.max(longest, t - last);
      last = t;
      if (t - t0 < s * 1000) requestAnimationFrame(tick);
      else resolve({ fps: (n - 1) / ((t - t0) / 1000), longestMs: longest });
    };
    requestAnimationFrame(tick);
  }), seconds);
  const after = await snapshot(page);
  const rates = Object.keys(after.instruments).map((id) =>
    Math.round((after.instruments[id].received - before.instruments[id].received) / seconds));
  const lost = Object.values(after.instruments).reduce((n, i) => n + i.lost, 0);
  console.log(`${instruments} instruments x 16 channels at 1 kHz, ${width}x${height}, ${seconds} s:`);
  console.log(`  ${frames.fps.toFixed(1)} frames/s, longest frame ${frames.longestMs.toFixed(0)} ms`);
  console.log(`  samples/s arriving per instrument: ${rates.join(' ')}; lost in the page: ${lost}`);
  await page.close();
} finally {
  await browser.close();
  await host.stop('SIGTERM').catch(() => host.stop('SIGKILL'));
}
