// The Vozi monitor: live plots of every instrument a broker carries.
//
// The page is served by the broker's WebSockets listener and connects back to
// it (same host and port) unless the address says otherwise:
//   index.html?broker=ws://host:port&prefix=vozi
import mqtt from 'mqtt';
import uplotCss from 'uplot/dist/uPlot.min.css';
import ownCss from '../style.css';
import { MAX_INSTRUMENTS, Monitor } from './monitor.js';

// The broker serves files without a content type, which a browser does not
// accept for a style sheet; the styles come inside the script instead.
const style = document.createElement('style');
style.textContent = uplotCss + ownCss;
document.head.append(style);

const params = new URLSearchParams(location.search);
const defaultBroker = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host || '127.0.0.1:9001'}`;
const brokerUrl = params.get('broker') || defaultBroker;
const prefix = params.get('prefix') || 'vozi';

const $ = (id) => document.getElementById(id);
$('broker').textContent = brokerUrl;
$('prefix').textContent = prefix;

const monitor = new Monitor({ prefix, container: $('instruments') });
const showCounts = () => {
  $('malformed').textContent = String(monitor.malformed);
  $('malformed').title = monitor.lastMalformed;
  $('markers').textContent = String(monitor.markers.list.length);
  $('markers').title = monitor.markers.last ? `last: ${monitor.markers.last.title}` : '';
  const excess = monitor.instrumentsNotShown;
  $('excess').hidden = excess === 0;
  $('excess').textContent = `${excess}${monitor.excessUncounted ? '+' : ''} more instrument${excess === 1 ? '' : 's'}`
    + ` not shown (the page shows at most ${MAX_INSTRUMENTS})`;
};
monitor.onCounts = showCounts;

// A plain banner while there is no connection; MQTT.js tries again every
// second, and the page keeps what it has until data flows again.
const banner = $('banner');
function disconnected(why) {
  banner.textContent = `No connection to the broker at ${brokerUrl} (${why}). Trying again every second…`;
  banner.hidden = false;
  $('connection').textContent = 'disconnected';
}

const client = mqtt.connect(brokerUrl, {
  clientId: `vozi-monitor-${Math.random().toString(16).slice(2, 10)}`,
  reconnectPeriod: 1000,
  connectTimeout: 5000,
  clean: true,
  // A lost connection can leave the last batches half-sent: nothing to resend.
  queueQoSZero: false,
});
let lastError = '';
client.on('connect', () => {
  banner.hidden = true;
  lastError = '';
  $('connection').textContent = 'connected';
  client.subscribe(`${prefix}/#`, { qos: 1 });
});
client.on('error', (e) => {
  lastError = e && e.message ? e.message : String(e);
  disconnected(lastError);
});
client.on('close', () => disconnected(lastError || 'connection closed'));
client.on('offline', () => disconnected(lastError || 'broker unreachable'));
client.on('message', (topic, payload) => monitor.handle(topic, payload));

for (const button of document.querySelectorAll('[data-window]')) {
  button.addEventListener('click', () => {
    for (const b of document.querySelectorAll('[data-window]')) b.classList.toggle('chosen', b === button);
    monitor.setWindow(Number(button.dataset.window));
  });
}
$('pause').addEventListener('click', () => {
  monitor.setPaused(!monitor.paused);
  $('pause').textContent = monitor.paused ? 'Resume' : 'Pause';
});
window.addEventListener('resize', () => monitor.resize());

function loop(now) {
  monitor.frame(now);
  requestAnimationFrame(loop);
}
requestAnimationFrame(loop);

// For tests and the console: the page's state as plain data, the samples it
// holds per channel, and the data each plot was last given.
window.voziMonitor = {
  snapshot: () => ({ ...monitor.snapshot(), connected: client.connected, broker: brokerUrl, prefix }),
  channel: (id, c, from) => monitor.channel(id, c, from),
  plotData: (id, c) => monitor.plotData(id, c),
  markersShown: (id, c) => monitor.markersShown(id, c),
  setWindow: (s) => monitor.setWindow(s),
};
showCounts();
