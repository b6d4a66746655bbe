// Experiment markers on the plots: the page keeps the last MAX_MARKERS (a
// flood on the markers topic costs a bounded amount of memory and drawing),
// and every channel plot draws those in its time window as a vertical line
// (a shaded span for a marker with a duration) with a short label. The
// labels are drawn on the plot's canvas: a marker's text is never markup.
// The full text, sender and time are the line's tooltip.

export const MAX_MARKERS = 1000;
// Characters of a label before it is cut with an ellipsis.
export const LABEL_CHARS = 20;
// How close (CSS pixels) the pointer must be to a line for its tooltip.
const HOVER_PX = 4;
const LINE = '#d35400';
const SPAN = 'rgba(211, 84, 0, 0.12)';
const LABEL_BACKGROUND = 'rgba(255, 255, 255, 0.85)';
const MAX_LABEL_ROWS = 3;

export class Markers {
  constructor(limit = MAX_MARKERS) {
    this.limit = limit;
    this.list = []; // in order of arrival, the oldest first
    this.keys = new Set();
    this.last = null;
  }

  // A decoded marker. The same marker twice (QoS 1 delivers again after a
  // reconnection) is kept once. Returns whether it is new.
  add(m) {
    const key = `${m.timeUs}\u0000${m.durationUs}\u0000${m.sender}\u0000${m.text}`;
    if (this.keys.has(key)) return false;
    this.list.push({ ...m, key, label: shortLabel(m.text), title: markerTitle(m) });
    this.keys.add(key);
    while (this.list.length > this.limit) this.keys.delete(this.list.shift().key);
    this.last = this.list[this.list.length - 1];
    return true;
  }
}

// The text cut to LABEL_CHARS characters (whole code points), with an ellipsis.
export function shortLabel(text) {
  const chars = Array.from(text);
  return chars.length <= LABEL_CHARS ? text : `${chars.slice(0, LABEL_CHARS - 1).join('')}…`;
}

// 2026-12-08 13:20:01.123456 UTC: the sender's clock, to the microsecond.
export function utcText(us) {
  const iso = new Date(Math.floor(us / 1000)).toISOString();
  const micros = String(((us % 1000) + 1000) % 1000).padStart(3, '0');
  return `${iso.slice(0, 10)} ${iso.slice(11, 23)}${micros} UTC`;
}

export function markerTitle(m) {
  const span = m.durationUs === null ? '' : ` · lasting ${m.durationUs / 1e6} s`;
  return `${m.text}\n${m.sender} · ${utcText(m.timeUs)}${span}`;
}

// A uPlot plugin: `source()` gives {markers (a Markers), originUs (the time,
// in microseconds since 1970, of x = 0; null: the axis is no time)}; what
// was drawn last goes into `shown` ({min, max, width, markers}), which the
// tooltip and the page's tests read.
export function markerPlugin(source, shown) {
  return {
    hooks: {
      init: (u) => {
        u.over.addEventListener('mousemove', (e) => {
          const x = e.clientX - u.over.getBoundingClientRect().left;
          const hit = shown.markers.find((d) => x >= d.left - HOVER_PX && x <= d.left + d.width + HOVER_PX);
          u.over.title = hit ? hit.title : '';
        });
        u.over.addEventListener('mouseleave', () => { u.over.title = ''; });
      },
      draw: (u) => drawMarkers(u, source(), shown),
    },
  };
}

function drawMarkers(u, { markers, originUs }, shown) {
  const { min, max } = u.scales.x;
  shown.min = min;
  shown.max = max;
  shown.width = u.bbox.width / pxRatio();
  shown.markers = [];
  if (originUs === null || !markers.list.length || !(max > min)) return;
  const visible = [];
  for (const m of markers.list) {
    const x = (m.timeUs - originUs) / 1e6;
    const end = m.durationUs === null ? x : x + m.durationUs / 1e6;
    if (end >= min && x <= max) visible.push({ m, x, end });
  }
  if (!visible.length) return;
  visible.sort((a, b) => a.x - b.x);

  const ratio = pxRatio();
  const { left, top, width, height } = u.bbox;
  const ctx = u.ctx;
  ctx.save();
  ctx.beginPath();
  ctx.rect(left, top, width, height);
  ctx.clip();
  ctx.font = `${Math.round(10 * ratio)}px sans-serif`;
  ctx.textBaseline = 'top';
  ctx.textAlign = 'left'; // uPlot leaves its axes' alignment on the context
  const rowHeight = 11 * ratio;
  const rows = Math.max(1, Math.min(MAX_LABEL_ROWS, Math.floor(height / rowHeight)));
  const rowEnds = new Array(rows).fill(-Infinity); // canvas x where each row's last label ends
  // Spans and lines first, the labels over them.
  ctx.strokeStyle = LINE;
  ctx.lineWidth = Math.max(1, Math.round(ratio));
  for (const v of visible) {
    v.p0 = u.valToPos(v.x, 'x', true);
    const p1 = u.valToPos(v.end, 'x', true);
    if (v.m.durationUs !== null && v.m.durationUs > 0) {
      ctx.fillStyle = SPAN;
      ctx.fillRect(Math.max(v.p0, left), top, Math.min(p1, left + width) - Math.max(v.p0, left), height);
    }
    if (v.x >= min) {
      const px = Math.round(v.p0) + 0.5;
      ctx.beginPath();
      ctx.moveTo(px, top);
      ctx.lineTo(px, top + height);
      ctx.stroke();
    }
  }
  for (const { m, x, end, p0 } of visible) {
    // The label right of the line (from the window's edge when the span
    // began before it), left of it where the plot ends (a new marker stands
    // at the newest samples), in the first row it does not overlap.
    const textWidth = ctx.measureText(m.label).width;
    let at = Math.max(p0, left) + 3 * ratio;
    if (at + textWidth > left + width) at = Math.max(left, p0 - 3 * ratio - textWidth);
    const row = rowEnds.findIndex((e) => e + 4 * ratio <= at);
    if (row >= 0) {
      const y = top + 1 * ratio + row * rowHeight;
      ctx.fillStyle = LABEL_BACKGROUND;
      ctx.fillRect(at - 1 * ratio, y, textWidth + 2 * ratio, rowHeight - 1 * ratio);
      ctx.fillStyle = LINE;
      ctx.fillText(m.label, at, y + 0.5 * ratio);
      rowEnds[row] = at + textWidth;
    }
    shown.markers.push({
      text: m.text, label: row >= 0 ? m.label : null, title: m.title, x,
      left: u.valToPos(x, 'x'), width: u.valToPos(end, 'x') - u.valToPos(x, 'x'),
    });
  }
  ctx.restore();
}

const pxRatio = () => (typeof devicePixelRatio === 'number' && devicePixelRatio > 0 ? devicePixelRatio : 1);
