"""A recording's time axis checked against the simulated instrument's counter.

The Counter channel of vozi-sim is each sample's index at the instrument
(modulo 32768), and the recordings time_axis_scenarios plays carry their own
index in the same column. So every row of every output, and every mark of
lost samples, is checked against the truth, never against another estimate.

A row is (position, counter, gap): its position is its time over the period,
gap what the output says went missing just before it (0 none, N, -1 some).

Figures of one output (judge, end_loss):
  rows            rows written
  off             rows more than 2 samples off the counter, outside a stretch
                  after a -1 mark
  after_unknown   rows off by more than 2 inside such a stretch (their times
                  are a lower bound until the next counted gap)
  counted         marks with a count; false_counted: where the counter runs on
                  without a jump; wrong_size: at a jump more than 2 samples
                  larger or smaller; near_size: 1 or 2 samples (the rows
                  after it are then as far off, which they may be)
  unknown         -1 marks; false_unknown: where the counter does not jump
  unmarked        jumps of the counter by more than 2 on a row marked 0
  small_unmarked  jumps by 1 or 2 on a row marked 0 (a loss that small may go
                  unnoticed; the rows then stay within 2 samples)
  jumps           jumps of the counter by more than 2, marked or not
  end_missing     samples missing between the last row and the end of a timed
                  run (counted from the counter, not from the output)
  end_unmarked    1 when 3 or more are missing there and the output does not
                  say so with their number (within 2)
"""
import re

COUNTER_MODULUS = 32768
# Rows may be this many samples off, and a loss this small may go unmarked.
TOLERANCE = 2

FIGURES = ("rows", "off", "after_unknown", "counted", "false_counted", "wrong_size", "near_size", "unknown",
           "false_unknown", "unmarked", "small_unmarked", "jumps", "end_missing", "end_unmarked")
# The figures that are faults whatever the scenario.
FAULTS = ("off", "false_counted", "wrong_size", "false_unknown", "unmarked", "end_unmarked")

LOST_PREFIX = "BAD lost samples: "


def signed(difference):
    """A difference of two counter values, modulo the counter's wrap."""
    return (difference + COUNTER_MODULUS // 2) % COUNTER_MODULUS - COUNTER_MODULUS // 2


def judge(rows):
    """The figures of a list of (position, counter, gap) rows, in order."""
    t = dict.fromkeys(FIGURES, 0)
    t["rows"] = len(rows)
    t["where"] = []  # the first faults, for a reader to look at
    offset = previous = None
    after_unknown = False
    for position, value, gap in rows:
        if offset is None:
            # The first row is where the output starts counting; the
            # instrument may have sent lines before the host took any.
            offset = value - position
        before = faults(t)
        missing = 0 if previous is None else signed(value - previous) - 1
        off = signed(value - offset - position)
        if missing > TOLERANCE or missing < 0:
            t["jumps"] += 1
        if gap == -1:
            after_unknown = True
            t["unknown"] += 1
            t["false_unknown"] += missing == 0
        elif gap != 0:
            t["counted"] += 1
            # After a -1 the clock's count takes in what the -1 could not
            # say: such a mark is right where it puts the row back on time.
            error = off if after_unknown else missing - gap
            after_unknown = False
            if missing == 0:
                t["false_counted"] += 1
            elif abs(error) > TOLERANCE:
                t["wrong_size"] += 1
            elif error:
                t["near_size"] += 1
        elif 0 < missing <= TOLERANCE:
            t["small_unmarked"] += 1
        elif missing != 0:
            t["unmarked"] += 1
        if abs(off) > TOLERANCE:
            t["after_unknown" if after_unknown else "off"] += 1
        if len(t["where"]) < 3 and faults(t) > before:
            t["where"].append("position %d: counter %d, gap %d, %d missing, off %d" % (
                position, value, gap, missing, off))
        previous = value
    return t


def missing_at_end(rows, limit):
    """Samples below the position `limit` that came after the last row."""
    if not rows or limit is None:
        return 0
    offset = rows[0][1] - rows[0][0]
    position, value, _ = rows[-1]
    truth = position + signed(value - offset - position)
    return max(0, limit - 1 - truth)


def end_loss(t, rows, limit, said):
    """Adds the end figures: `said` is the count of lost samples the output
    gives for the end of the run, or None when it says nothing."""
    t["end_missing"] = missing_at_end(rows, limit)
    if t["end_missing"] > TOLERANCE:
        t["end_unmarked"] = int(said is None or abs(said - t["end_missing"]) > TOLERANCE)
    return t


def faults(t):
    return sum(t[k] for k in FAULTS)


class CsvRecording:
    """The rows of a vozi-host CSV, and the comments after the last one."""

    def __init__(self, path):
        self.period_us = None
        self.rows = []
        self.trailing = []
        header = None
        counter = None
        for line in open(path):
            line = line.rstrip("\n")
            if line.startswith("#"):
                if header is None and line.startswith("# period: "):
                    self.period_us = int(line.split()[2])
                elif header is not None:
                    self.trailing.append(line)
            elif header is None:
                header = line.split(",")
                counter = next(i for i, h in enumerate(header) if h.startswith("Counter"))
            elif line:
                f = line.split(",")
                position = round(float(f[0]) * 1e6 / self.period_us)
                self.rows.append((position, round(float(f[counter])), int(f[-1])))
                self.trailing = []

    def broke_off(self):
        """The tool's own note that the stream ended early, if any."""
        return next((c for c in self.trailing if c.startswith("# end: the stream broke off")), None)

    def end_count(self):
        """The number a note after the last row gives for samples lost at
        the end (its first whole number), or None when no note speaks of
        lost samples."""
        for comment in self.trailing:
            if "lost" in comment:
                numbers = re.findall(r"(?<![\d.])\d+(?![\d.])", comment)
                if numbers:
                    return int(numbers[0])
        return None


def edf_rows(counter, rate, annotations):
    """Rows and the end's count from an EDF+ file's Counter signal (one value
    per sample, padding included) and its (onset_s, duration_s, text)
    annotations: a known gap is padding under a lost-samples span, so the
    rows skip it and the first row after it carries its count; an unknown
    one is marked at its onset. A span that reaches the stream's stop is the
    end's loss."""
    stop = len(counter)
    for onset, _, text in annotations:
        if text == "stream stop":
            stop = min(stop, round(onset * rate))
    marks, padding = {}, set()
    for onset, _, text in annotations:
        if not text.startswith(LOST_PREFIX):
            continue
        at = round(onset * rate)
        size = text[len(LOST_PREFIX):]
        if size == "number unknown":
            marks[at] = -1
        else:
            marks[at + int(size)] = int(size)
            padding.update(range(at, at + int(size)))
    rows = [(k, round(counter[k]), marks.get(k, 0)) for k in range(stop) if k not in padding]
    at_end = [size for at, size in marks.items() if at >= stop and size > 0]
    return rows, (sum(at_end) if at_end else None)


def read_edf(path):
    """The Counter signal, sample rate and annotations of an EDF+ file, as
    an independent reader (MNE-Python) sees them."""
    import mne
    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    counter = raw.get_data(picks=[raw.ch_names.index("Counter")])[0]
    annotations = [(a["onset"], a["duration"], a["description"]) for a in raw.annotations]
    return counter, raw.info["sfreq"], annotations


def svg_gap_marks(path):
    """The dashed gap lines of a plot."""
    return open(path).read().count('<line class="gap"')
