"""Chrome/Perfetto trace-event JSON ("JSON Object Format"), as chrome://tracing and ui.perfetto.dev
load it: counter tracks, slices and instants on CLOCK_MONOTONIC, times in whole microseconds.

    with trace.Writer(path) as t:
        t.process(1, "vantrel rails")
        t.counter(1, "vph", "W", [(t_us, watts), ...])          # samples: the value holds until the next
        t.steps(6, "vph", "W", [(start_us, end_us, watts), ...])  # interval means, each interval closed
        t.slice(7, 1, "COMMAND", start_us, end_us, {"status": 0})
        t.instant(7, 1, "mark", ts_us)

Events are written as they come (a report of millions of log lines never holds them all). A counter
track is named by its event name; its one argument is its unit, so that the UI shows "vph W".
"""
import json
import math

DISPLAY_UNIT = "ms"


def us_of_s(seconds):
    """Whole microseconds of a time in seconds."""
    return round(seconds * 1e6)


def us_of_ns(ns):
    """Whole microseconds of a time in integer nanoseconds."""
    return (ns + 500) // 1000


def _number(value):
    """The value as JSON allows it: NaN and infinities are not JSON numbers."""
    return value if math.isfinite(value) else None


class Writer:
    """A trace file written event by event; close() (or the with block) ends the JSON."""

    def __init__(self, path):
        self.file = open(path, "w", encoding="utf-8")
        self.file.write(f'{{"displayTimeUnit": "{DISPLAY_UNIT}", "traceEvents": [\n')
        self.first = True

    def _event(self, text):
        self.file.write(text if self.first else ",\n" + text)
        self.first = False

    def process(self, pid, name):
        """Names a trace process: the UI groups its tracks under that name."""
        self._event(json.dumps({"ph": "M", "name": "process_name", "pid": pid, "tid": 0, "args": {"name": name}}))

    def thread(self, pid, tid, name):
        self._event(json.dumps({"ph": "M", "name": "thread_name", "pid": pid, "tid": tid, "args": {"name": name}}))

    def counter(self, pid, name, unit, points):
        """A counter track of samples (ts µs, value); values that are not finite are left out."""
        head = f'{{"ph": "C", "pid": {pid}, "tid": 0, "name": {json.dumps(name)}, "ts": '
        arg = json.dumps(unit)
        for ts, value in points:
            if math.isfinite(value):
                self._event(f'{head}{ts}, "args": {{{arg}: {value!r}}}}}')

    def steps(self, pid, name, unit, intervals):
        """A counter track of interval means (start µs, end µs, value or None): a step at each
        interval's start. An interval that no next one starts at (the last one, or one before a gap)
        is closed by a 0 at its end, so that no value runs on past what was measured; an interval
        without a mean (None, or not finite) is a 0 over its time."""
        head = f'{{"ph": "C", "pid": {pid}, "tid": 0, "name": {json.dumps(name)}, "ts": '
        arg = json.dumps(unit)
        open_end = None
        for start, end, value in intervals:
            if open_end is not None and open_end != start:
                self._event(f'{head}{open_end}, "args": {{{arg}: 0.0}}}}')
            known = value is not None and math.isfinite(value)
            self._event(f'{head}{start}, "args": {{{arg}: {value if known else 0.0!r}}}}}')
            open_end = end
        if open_end is not None:
            self._event(f'{head}{open_end}, "args": {{{arg}: 0.0}}}}')

    def slice(self, pid, tid, name, start, end, args=None):
        """A complete slice from START to END µs."""
        event = {"ph": "X", "pid": pid, "tid": tid, "name": name, "ts": start, "dur": max(end - start, 0)}
        if args:
            event["args"] = args
        self._event(json.dumps(event, default=_number))

    def instant(self, pid, tid, name, ts, args=None):
        """An instant on a thread's track."""
        event = {"ph": "i", "s": "t", "pid": pid, "tid": tid, "name": name, "ts": ts}
        if args:
            event["args"] = args
        self._event(json.dumps(event))

    def close(self):
        if self.file is not None:
            self.file.write("\n]}\n")
            self.file.close()
            self.file = None

    def __enter__(self):
        return self

    def __exit__(self, kind, *_):
        if kind is not None and self.file is not None:
            self.file.close()  # a half-written trace: left as it is, the caller reports why
            self.file = None
        self.close()
