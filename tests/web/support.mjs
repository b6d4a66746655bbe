// What the browser tests run: vozi-host, a broker of their own, a subscriber
// beside the page (mosquitto_sub) and Debian's Chromium. Every process is
// started on the loopback and ended by the test that started it; every wait
// is for a condition, bounded.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import mqtt from 'mqtt';
import puppeteer from 'puppeteer-core';

export const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../..');
export const build = path.resolve(process.env.VOZI_BUILD_DIR || path.join(root, 'build/native'));
export const voziHostPath = path.join(build, 'tools/vozi-host/vozi-host');
export const webDir = path.join(build, 'web');
export const outDir = path.join(build, 'tests/web');
export const chromium = process.env.VOZI_CHROMIUM || '/usr/bin/chromium';
const mosquittoPath = fs.existsSync('/usr/sbin/mosquitto') ? '/usr/sbin/mosquitto' : 'mosquitto';

fs.mkdirSync(outDir, { recursive: true });

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

export function accepts(port) {
  return new Promise((resolve) => {
    const c = net.connect({ host: '127.0.0.1', port });
    c.on('connect', () => { c.destroy(); resolve(true); });
    c.on('error', () => resolve(false));
  });
}

// Polls `check` until it returns something truthy; fails after `ms`.
export async function until(what, ms, check) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`not within ${ms / 1000} s: ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// A child process whose output is kept (and written to outDir/<name>.log).
class Child {
  constructor(name, cmd, args, options = {}) {
    this.name = name;
    this.output = '';
    this.proc = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    this.exited = new Promise((resolve) => this.proc.on('exit', (code, signal) => resolve({ code, signal })));
    this.exitStatus = null;
    this.exited.then((s) => { this.exitStatus = s; });
    const log = fs.createWriteStream(path.join(outDir, `${name}.log`));
    for (const stream of [this.proc.stdout, this.proc.stderr]) {
      stream.on('data', (d) => { this.output += d; log.write(d); });
    }
  }

  waitFor(pattern, ms) {
    return until(`${this.name} printing ${pattern}`, ms, () => {
      if (this.exitStatus) throw new Error(`${this.name} ended (${JSON.stringify(this.exitStatus)}):\n${this.output}`);
      return this.output.match(pattern);
    });
  }

  // Sends the signal and waits for the end (then SIGKILL, and a failure).
  async stop(signal = 'SIGTERM', ms = 20000) {
    if (this.exitStatus) return this.exitStatus;
    this.proc.kill(signal);
    const timer = new Promise((r) => setTimeout(r, ms, null));
    const status = await Promise.race([this.exited, timer]);
    if (status) return status;
    this.proc.kill('SIGKILL');
    await this.exited;
    throw new Error(`${this.name} did not end within ${ms / 1000} s of ${signal}`);
  }
}

export function voziHost(name, args) {
  return new Child(name, voziHostPath, args);
}

// A broker as docs/streaming.md tells a lab to set one up for the monitor.
export async function startBroker(name, mqttPort, webPort) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vozi-web-test-'));
  const conf = path.join(dir, 'mosquitto.conf');
  fs.writeFileSync(conf, [
    'per_listener_settings false', 'allow_anonymous true', `user ${os.userInfo().username}`,
    `listener ${mqttPort} 127.0.0.1`, 'protocol mqtt',
    // Without socket_domain, mosquitto 2.0 binds a WebSockets listener to every address.
    `listener ${webPort} 127.0.0.1`, 'socket_domain ipv4', 'protocol websockets', `http_dir ${webDir}`, ''].join('\n'));
  const broker = new Child(name, mosquittoPath, ['-c', conf]);
  await until('the broker listening', 10000, async () => {
    if (broker.exitStatus) throw new Error(`mosquitto ended:\n${broker.output}`);
    return (await accepts(mqttPort)) && (await accepts(webPort));
  });
  const stop = broker.stop.bind(broker);
  broker.stop = async (...args) => {
    try {
      return await stop(...args);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  };
  return broker;
}

// Every message under prefix/# as mosquitto_sub delivers it: info documents
// by id, and each samples batch decoded into values by position.
export function subscribe(name, mqttPort, prefix = 'vozi') {
  const sub = new Child(name, 'mosquitto_sub', ['-h', '127.0.0.1', '-p', String(mqttPort), '-t', `${prefix}/#`,
    '-F', '%t %x']);
  sub.info = {};
  sub.samples = {}; // id -> Map(position -> [values by channel])
  let pending = '';
  sub.proc.stdout.on('data', (d) => {
    pending += d;
    const lines = pending.split('\n');
    pending = lines.pop();
    for (const line of lines) {
      const [topic, hex = ''] = line.split(' ');
      const [, id, kind] = topic.split('/');
      const bytes = Buffer.from(hex, 'hex');
      if (kind === 'info' && bytes.length) sub.info[id] = JSON.parse(bytes.toString('utf8'));
      if (kind !== 'samples') continue;
      const header = bytes.readUInt16LE(0) === 2 ? 32 : 24; // format 2 also names the stream
      const C = bytes.readUInt16LE(2);
      const N = bytes.readUInt32LE(4);
      const first = Number(bytes.readBigUInt64LE(8));
      const byPosition = (sub.samples[id] ||= new Map());
      for (let i = 0; i < N; ++i) {
        const values = [];
        for (let c = 0; c < C; ++c) values.push(bytes.readFloatLE(header + 4 * (i * C + c)));
        byPosition.set(first + i, values);
      }
    }
  });
  return sub;
}

const chromiumFlags = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Headless Chromium with a fresh profile, removed by close().
export async function openBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vozi-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true, userDataDir: profile, args: chromiumFlags,
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

export async function openMonitor(browser, url, width = 1400, height = 900) {
  const page = await browser.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await page.setViewport({ width, height });
  await page.goto(url);
  return page;
}

// The page's state as plain data.
export const snapshot = (page) => page.evaluate(() => window.voziMonitor.snapshot());

// The processes a process started: [{pid, cmd}].
export function childrenOf(parent) {
  const found = [];
  for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    try {
      // The command name in parentheses may hold blanks; the parent's id is
      // the second field after it.
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (ppid !== parent) continue;
      found.push({ pid: Number(pid), cmd: fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').replaceAll('\0', ' ') });
    } catch {
      // it ended meanwhile
    }
  }
  return found;
}

export const alive = (pid) => fs.existsSync(`/proc/${pid}`);

// An MQTT client of the test's own, to publish what no publisher would.
export const publisher = (mqttPort) => mqtt.connectAsync(`mqtt://127.0.0.1:${mqttPort}`, { clean: true });

// A samples batch as docs/streaming.md lays it out (format 1: 24-byte header;
// format 2: 32 bytes, with the stream's start); value(position, channel).
export function batchBytes({ format = 2, first, count, channels, streamUs = 0, value }) {
  const header = format === 2 ? 32 : 24;
  const b = Buffer.alloc(header + 4 * count * channels);
  b.writeUInt16LE(format, 0);
  b.writeUInt16LE(channels, 2);
  b.writeUInt32LE(count, 4);
  b.writeBigUInt64LE(BigInt(first), 8);
  b.writeBigInt64LE(BigInt(Date.now()) * 1000n, 16);
  if (format === 2) b.writeBigInt64LE(BigInt(streamUs), 24);
  for (let i = 0; i < count; ++i) {
    for (let c = 0; c < channels; ++c) b.writeFloatLE(value(first + i, c), header + 4 * (i * channels + c));
  }
  return b;
}

// An info document of `channels` channels named c0, c1, ...
export function infoJson({ format = 2, startedUs, channels = 1, model = 'VZ-T', description = '', periodUs = 1000 }) {
  return JSON.stringify({
    format, unique_id: null, model, firmware: '2', description, period_us: periodUs,
    period_source: periodUs ? 'selected' : 'none',
    channels: Array.from({ length: channels }, (_, c) => ({ index: c + 1, name: `c${c}`, units: 'mV' })),
    started: new Date(Math.floor(startedUs / 1000)).toISOString(),
    ...(format === 2 ? { started_us: startedUs } : {}),
  });
}
