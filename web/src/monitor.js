// The page's state: the instruments by id, the messages it could not read,
// the window, pause; and the drawing loop. Messages only change state; the
// loop draws once per animation frame what changed, so a burst of batches
// costs one redraw.
import { Instrument, LONGEST_WINDOW_S } from './instrument.js';
import { Markers } from './markers.js';
import { Panel } from './panel.js';
import {
  Malformed, decodeEvent, decodeInfo, decodeMarker, decodeSamples, decodeStatus, splitTopic,
} from './payloads.js';

const FACTS_EVERY_MS = 500;
// Panels the page shows at most; instruments beyond are counted and shown as
// a number. Ids heard from (status, events) before their info are remembered
// up to MAX_WAITING, the first heard from forgotten first.
export const MAX_INSTRUMENTS = 64;
const MAX_WAITING = 256;
const MAX_EXCESS_IDS = 100000;
const DRAW_BUDGET_MS = 8;
// Buckets per pixel of plot width (each is drawn as two points).
const BUCKETS_PER_PIXEL = 0.5;

export class Monitor {
  constructor({ prefix, container }) {
    this.prefix = prefix;
    this.container = container;
    this.instruments = new Map(); // id -> Instrument, each with a panel
    this.panels = new Map();
    this.order = []; // the panels' ids, sorted as they stand in the container
    this.waiting = new Map(); // id -> Instrument without an info yet, no panel
    this.excess = new Set(); // ids with an info beyond MAX_INSTRUMENTS
    this.excessUncounted = false; // more than MAX_EXCESS_IDS of them
    this.malformed = 0;
    this.lastMalformed = '';
    this.markers = new Markers();
    this.windowSeconds = 10;
    this.paused = false;
    this.frames = 0;
    this.turn = 0; // the instrument drawn first in the next frame
    this.factsShownAt = 0;
    this.onCounts = () => {};
  }

  // The instrument an info was published for: the one shown, or a new panel
  // while there is room (null when there is none: counted).
  admit(id) {
    let ins = this.instruments.get(id);
    if (ins) return ins;
    if (this.instruments.size >= MAX_INSTRUMENTS) {
      if (!this.excess.has(id)) {
        if (this.excess.size < MAX_EXCESS_IDS) this.excess.add(id);
        else this.excessUncounted = true;
        this.onCounts();
      }
      return null;
    }
    ins = this.waiting.get(id) || new Instrument(id);
    this.waiting.delete(id);
    this.instruments.set(id, ins);
    this.addPanel(ins);
    return ins;
  }

  // The instrument a status or event is about, remembered without a panel
  // until its info comes; null for one beyond the bound.
  known(id) {
    const ins = this.instruments.get(id) || this.waiting.get(id);
    if (ins || this.excess.has(id)) return ins || null;
    if (this.waiting.size >= MAX_WAITING) this.waiting.delete(this.waiting.keys().next().value);
    const fresh = new Instrument(id);
    this.waiting.set(id, fresh);
    return fresh;
  }

  // Panels stand in the order of their ids, whatever order they came in:
  // a new one goes in its place, the others stay where they are.
  addPanel(ins) {
    const panel = new Panel(ins, this.markers);
    this.panels.set(ins.id, panel);
    let lo = 0;
    let hi = this.order.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (this.order[mid] < ins.id) lo = mid + 1;
      else hi = mid;
    }
    const next = lo < this.order.length ? this.panels.get(this.order[lo]).root : null;
    this.order.splice(lo, 0, ins.id);
    this.container.insertBefore(panel.root, next);
  }

  removeInstrument(id) {
    this.panels.get(id)?.remove();
    this.panels.delete(id);
    this.instruments.delete(id);
    const k = this.order.indexOf(id);
    if (k >= 0) this.order.splice(k, 1);
    this.waiting.delete(id);
    if (this.excess.delete(id)) this.onCounts();
  }

  get instrumentsNotShown() {
    return this.excess.size;
  }

  // One MQTT message. Whatever it holds, it cannot stop the page: a message
  // that does not decode is counted and shown, and the page goes on.
  handle(topic, payload) {
    const where = splitTopic(this.prefix, topic);
    if (!where) return;
    const now = new Date();
    try {
      switch (where.kind) {
        case 'info':
          if (payload.length === 0) this.removeInstrument(where.id); // a retained info cleared
          else {
            const info = decodeInfo(payload);
            this.admit(where.id)?.setInfo(info);
          }
          break;
        case 'samples': {
          // Only for a panel: the rest is not even decoded.
          const ins = this.instruments.get(where.id);
          if (ins) ins.addBatch(decodeSamples(payload), performance.now());
          break;
        }
        case 'status':
          if (payload.length) {
            const status = decodeStatus(payload);
            this.known(where.id)?.setStatus(status, now);
          }
          break;
        case 'events': {
          const event = decodeEvent(payload);
          this.known(where.id)?.applyEvent(event, now);
          break;
        }
        case 'markers':
          if (this.markers.add(decodeMarker(payload))) {
            for (const ins of this.instruments.values()) ins.markersChanged = true;
            this.onCounts();
          }
          break;
        default:
          break;
      }
    } catch (e) {
      if (!(e instanceof Malformed)) console.error(e);
      this.malformed += 1;
      this.lastMalformed = `${topic}: ${e instanceof Malformed ? e.message : String(e)}`;
      this.onCounts();
    }
  }

  setWindow(seconds) {
    this.windowSeconds = seconds;
    for (const ins of this.instruments.values()) ins.bucketSize = 0;
  }

  // Paused plots keep the range they showed, also when the page is resized.
  setPaused(paused) {
    this.paused = paused;
    for (const ins of this.instruments.values()) {
      // The range drawn last: samples that came since are not shown, and
      // a redraw while paused (markers, a resize) must not move the plot.
      ins.pausedRange = paused ? ins.shownRange || this.xRange(ins) : null;
      ins.changed = true;
    }
  }

  // Redraws what changed. A bucket spans about two pixels; the window and
  // the width set its size, and a new size folds the samples again.
  //
  // Drawing gets a time budget per frame: instruments take turns, and one
  // that did not get its turn keeps its changes for the next frame. With many
  // channels the plots then refresh less often, while the page itself (and
  // its frame rate) stays responsive.
  frame(nowMs) {
    this.frames += 1;
    const started = performance.now();
    const all = [...this.instruments.values()];
    for (let k = 0; k < all.length; ++k) {
      const ins = all[(this.turn + k) % all.length];
      if (performance.now() - started > DRAW_BUDGET_MS) {
        this.turn = (this.turn + k) % all.length;
        break;
      }
      const panel = this.panels.get(ins.id);
      if (panel.shownInfo !== ins.info) {
        panel.build(() => this.xRange(ins));
        ins.bucketSize = 0;
      }
      if (!ins.ring) continue;
      const from = ins.windowStart(this.windowSeconds);
      const windowSamples = Math.max(1, ins.windowSamples(this.windowSeconds));
      const bucketSize = Math.max(1, Math.floor(windowSamples / (panel.plotWidth() * BUCKETS_PER_PIXEL)));
      if (bucketSize !== ins.bucketSize) {
        ins.bucketSize = bucketSize;
        ins.rebucket(bucketSize, from);
      }
      ins.decimator.trim(from);
      if (!ins.changed || this.paused) {
        if (ins.markersChanged) panel.redraw();
        ins.markersChanged = false;
        continue;
      }
      ins.changed = false;
      ins.markersChanged = false;
      ins.shownRange = this.xRange(ins);
      panel.draw(ins.decimator.plotData(from, ins.xPerSample));
    }
    // Who and whether: at once; the figures (rate, lost) twice a second.
    const figures = nowMs - this.factsShownAt >= FACTS_EVERY_MS;
    if (figures) this.factsShownAt = nowMs;
    for (const ins of this.instruments.values()) {
      if (!figures && !ins.factsChanged) continue;
      ins.factsChanged = false;
      this.panels.get(ins.id).showFacts(nowMs);
    }
  }

  // The x range is the window ending at the newest sample, whether or not
  // the window is full yet.
  xRange(ins) {
    if (this.paused && ins.pausedRange) return ins.pausedRange;
    const end = ins.nextPosition === null ? 0 : ins.nextPosition * ins.xPerSample;
    return [end - ins.windowSpan(this.windowSeconds), end];
  }

  resize() {
    for (const [id, panel] of this.panels) {
      panel.resize();
      this.instruments.get(id).bucketSize = 0;
    }
  }

  // What tests (and a curious user's console) read: plain data only.
  snapshot() {
    const instruments = {};
    for (const [id, ins] of this.instruments) {
      instruments[id] = {
        info: ins.info,
        unknownFormat: ins.unknownFormat,
        status: ins.status,
        statusSince: ins.statusSince ? ins.statusSince.toISOString() : null,
        offlineReason: ins.offlineReason,
        received: ins.received,
        lost: ins.lost,
        unknownGaps: ins.unknownGaps,
        nextPosition: ins.nextPosition,
        dropped: ins.dropped,
        held: ins.held.length,
        shown: this.panels.get(id).root.querySelector('.status').textContent,
      };
    }
    return {
      instruments,
      order: [...this.container.children].map((e) => e.dataset.id),
      instrumentsNotShown: this.instrumentsNotShown,
      waiting: this.waiting.size,
      malformed: this.malformed,
      lastMalformed: this.lastMalformed,
      markers: this.markers.list.length,
      frames: this.frames,
    };
  }

  // The samples the page holds for one channel (positions and values), from
  // position `from` on.
  channel(id, c, from = 0) {
    const ins = this.instruments.get(id);
    return ins && ins.ring ? ins.ring.channel(c, from) : { positions: [], values: [] };
  }

  // The markers one channel's plot drew last, and its x scale:
  // {min, max, width (CSS pixels), markers: [{text, label, title, x, left, width}]}.
  markersShown(id, c) {
    const p = this.panels.get(id)?.plots[c];
    return p ? JSON.parse(JSON.stringify(p.shownMarkers)) : null;
  }

  // The data last handed to uPlot for one channel: [xs, ys].
  plotData(id, c) {
    const panel = this.panels.get(id);
    return panel && panel.plots[c] ? panel.plots[c].data : null;
  }
}

export { LONGEST_WINDOW_S };
