// One instrument's panel: who it is, whether it is there, how its samples
// arrive, and a plot per channel. The panel only shows an Instrument's state.
import uPlot from 'uplot';
import { UNTIMED_SAMPLES_PER_S } from './instrument.js';
import { markerPlugin } from './markers.js';

const PLOT_HEIGHT = 72;
const COLOURS = ['#1f6fb4', '#c0392b', '#2e8b57', '#8e44ad', '#d35400', '#16a085', '#7f8c8d', '#b7950b'];

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function formatPeriod(us) {
  if (us >= 1e6) return `${us / 1e6} s`;
  if (us >= 1e3) return `${us / 1e3} ms`;
  return `${us} µs`;
}

const clock = (d) => d.toLocaleTimeString(undefined, { hour12: false });

// When the stream began, for the time axis: its start in microseconds
// (format 2) or as text (format 1); empty when neither reads as a time.
function streamStart(info) {
  const ms = info.startedUs !== null ? info.startedUs / 1000 : Date.parse(info.started);
  if (!Number.isFinite(ms)) return '';
  const d = new Date(ms);
  return Number.isNaN(d.getTime()) ? '' : `${d.toLocaleDateString()} ${clock(d)}`;
}

export class Panel {
  // markers: the page's experiment markers (a Markers), drawn on every plot.
  constructor(instrument, markers) {
    this.instrument = instrument;
    this.markers = markers;
    this.root = el('section', 'instrument');
    this.root.dataset.id = instrument.id;
    const head = el('header');
    const who = el('div', 'who');
    this.title = el('h2');
    this.description = el('span', 'description');
    who.append(this.title, this.description);
    this.status = el('span', 'status');
    head.append(who, this.status);
    this.facts = el('dl', 'facts');
    this.fields = {};
    for (const [key, label] of [['uniqueId', 'unique id'], ['firmware', 'firmware'], ['period', 'period'],
      ['rate', 'samples/s'], ['lost', 'lost samples']]) {
      const dd = el('dd');
      dd.dataset.field = key;
      this.facts.append(el('dt', '', label), dd);
      this.fields[key] = dd;
    }
    this.note = el('p', 'note');
    this.channels = el('div', 'channels');
    // The plots' common time axis: its unit and origin.
    this.axis = el('p', 'axis');
    this.root.append(head, this.facts, this.note, this.channels, this.axis);
    this.plots = [];
    this.shownInfo = null;
    // A channel's plot (a canvas, a few hundred kilobytes) exists only while
    // its box is in or near the view: with 64 instruments of 64 channels the
    // page would otherwise hold thousands of them. Out of sight, a channel
    // keeps its data and only the box of its size.
    this.watcher = new IntersectionObserver((seen) => {
      for (const s of seen) {
        const entry = s.target.entry;
        if (s.isIntersecting) {
          if (!entry.plot) entry.plot = entry.create();
          this.instrument.changed = true;
        } else if (entry.plot) {
          entry.plot.destroy();
          entry.plot = null;
        }
      }
    }, { rootMargin: '300px 0px' });
  }

  // The plots follow the info: a new one (another channel list) builds them anew.
  build(xRange) {
    for (const p of this.plots) p.plot?.destroy();
    this.plots = [];
    this.watcher.disconnect();
    this.channels.replaceChildren();
    const info = this.instrument.info;
    this.shownInfo = info;
    this.axis.textContent = '';
    if (!info) return;
    const start = streamStart(info);
    const unit = info.periodUs ? 's' : 'samples';
    this.axis.textContent = `time: ${unit} since start${start ? ` (${start})` : ''}`;
    info.channels.forEach((ch, c) => {
      const last = c === info.channels.length - 1;
      const box = el('div', 'channel');
      const label = el('label');
      const toggle = el('input');
      toggle.type = 'checkbox';
      toggle.checked = true;
      const range = ch.min === null ? 'no range' : `${ch.min} … ${ch.max}`;
      const units = ch.units ? ` (${ch.units})` : '';
      label.append(toggle, el('span', 'name', ch.name), el('span', 'units', units), el('span', 'range', range));
      const target = el('div', 'plot');
      target.style.height = `${PLOT_HEIGHT}px`;
      box.append(label, target);
      this.channels.append(box);
      const options = {
        height: PLOT_HEIGHT,
        legend: { show: false },
        cursor: { show: false },
        select: { show: false },
        scales: {
          x: { time: false, range: () => xRange() },
          y: { range: ch.min === null ? (u, lo, hi) => (lo === null ? [0, 1] : uPlot.rangeNum(lo, hi, 0.1, true))
            : [ch.min, ch.max] },
        },
        series: [{}, { stroke: COLOURS[c % COLOURS.length], width: 1, spanGaps: false, points: { show: false } }],
        // Seconds are labelled under the last channel only: one scale for all.
        axes: [{ size: last ? 22 : 4, space: 60, font: '10px sans-serif', ticks: { size: 3 },
          values: last ? undefined : () => [] },
          { size: 44, space: 20, font: '10px sans-serif', ticks: { size: 3 } }],
      };
      const entry = { plot: null, box, enabled: true, data: [[], []], shownMarkers: { markers: [] } };
      const plugin = markerPlugin(() => ({ markers: this.markers, originUs: this.instrument.originUs }),
        entry.shownMarkers);
      entry.create = () => new uPlot({ ...options, plugins: [plugin], width: this.plotWidth() }, entry.data, target);
      this.watcher.observe(box);
      box.entry = entry;
      toggle.addEventListener('change', () => {
        entry.enabled = toggle.checked;
        box.classList.toggle('off', !toggle.checked);
        this.instrument.changed = true;
      });
      this.plots.push(entry);
    });
  }

  plotWidth() {
    return Math.max(200, this.channels.clientWidth || this.root.clientWidth - 24 || 600);
  }

  resize() {
    const width = this.plotWidth();
    for (const p of this.plots) p.plot?.setSize({ width, height: PLOT_HEIGHT });
  }

  // New plot data for every channel that is on.
  draw(data) {
    const [xs, ...ys] = data;
    this.plots.forEach((p, c) => {
      p.data = [xs, ys[c]];
      // Drawn now rather than in uPlot's microtask, so that the frame's
      // drawing budget counts it.
      if (p.enabled && p.plot) p.plot.batch((u) => u.setData(p.data));
    });
  }

  // The same data drawn again, for markers that came (also while paused).
  redraw() {
    for (const p of this.plots) if (p.enabled && p.plot) p.plot.redraw(false, false);
  }

  showFacts(nowMs) {
    const ins = this.instrument;
    const info = ins.info;
    this.title.textContent = info ? info.model || 'instrument' : `instrument ${ins.id}`;
    this.description.textContent = info ? info.description : '';
    // An instrument without a unique id goes by its topic's name.
    this.fields.uniqueId.textContent = info && info.uniqueId ? info.uniqueId : ins.id;
    this.fields.firmware.textContent = info ? info.firmware : '';
    this.fields.period.textContent = !info ? ''
      : info.periodUs ? `${formatPeriod(info.periodUs)} (${info.periodSource})`
        : `none: plotted by position, ${UNTIMED_SAMPLES_PER_S} samples per window second`;
    this.fields.rate.textContent = String(ins.samplesPerSecond(nowMs));
    this.fields.lost.textContent = String(ins.lost) +
      (ins.unknownGaps ? `, and ${ins.unknownGaps} gap${ins.unknownGaps > 1 ? 's' : ''} of unknown size` : '');
    this.root.classList.toggle('offline', ins.status === 'offline');
    let status = ins.status;
    if (ins.status === 'offline' && ins.statusSince) {
      status = `offline since ${clock(ins.statusSince)}` + (ins.offlineReason ? ` (${ins.offlineReason})` : '');
    }
    this.status.textContent = status;
    this.status.dataset.status = ins.status;
    const notShown = info ? info.channelCount - info.channels.length : 0;
    this.note.textContent = ins.unknownFormat !== null
      ? `This instrument's payload format ${ins.unknownFormat} is not one this page knows; it is not shown.`
      : notShown > 0
        ? `${info.channelCount} channels: the first ${info.channels.length} are shown, ${notShown} are not.`
        : '';
  }

  remove() {
    this.watcher.disconnect();
    for (const p of this.plots) p.plot?.destroy();
    this.root.remove();
  }
}
