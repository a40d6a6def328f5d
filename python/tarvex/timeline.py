"""A timeline of named channels in real units, built into the shortest pulse list that plays it.

Times are absolute, in nanoseconds: write them with the units ``ns``, ``us``, ``ms`` and ``s``
(``2.5 * us`` is 2500). Every time must lie on the 1 ns grid. Each method takes scalars or numpy
arrays (broadcast against each other), so a million events are added by one call, not a loop.

On a channel, a *level* (:meth:`Timeline.set`) holds from its time until the next level; a
*pulse* shows a value for a width and then the level again; a *ramp* steps from one value to
another in samples of a given step and holds its end value. Two events at one time on a channel,
or a pulse or ramp that overlaps another event of its channel, are refused with a
:class:`~tarvex.errors.TimelineError` naming the channel and the time.
"""
from __future__ import annotations

import json
import re
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

import numpy as np

from .errors import TimelineError
from .pulselist import PULSE_DTYPE, _merged, fraction_to_value

ns = 1
us = 1_000
ms = 1_000_000
s = 1_000_000_000

OUTPUTS = ["d%d" % i for i in range(8)] + ["ao0", "ao1"]
SETUP_FORMAT, SETUP_VERSION = "tarvex-setup", 1
DEFAULT_SETUP_FILE = "tarvex-setup.json"
MAX_SETUP_BYTES = 1 << 20
_NAME = re.compile(r"[A-Za-z0-9_\- ]{1,32}")

_SET, _SAMPLE, _RAMP_END = 0, 1, 2  # kinds of level: set by the user, a ramp's sample, a ramp's end
_PULSE, _RAMP = 0, 1                # kinds of span

Times = Union[int, float, np.ndarray, List[Any]]
Values = Union[int, float, np.ndarray, List[Any]]


class _Channel:
    """A channel's output, default and events (lists of array chunks, joined when built)."""

    def __init__(self, name: str, output: str, default: int) -> None:
        self.name, self.output, self.default = name, output, default
        self.levels: List[Tuple[np.ndarray, np.ndarray, np.ndarray]] = []          # time, value, kind
        self.spans: List[Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []  # start, end, value, kind

    @property
    def analog(self) -> bool:
        return self.output.startswith("ao")

    def joined(self) -> Tuple[np.ndarray, ...]:
        def cat(chunks: List[Tuple[np.ndarray, ...]], width: int) -> List[np.ndarray]:
            return [np.concatenate([c[i] for c in chunks]) if chunks else np.zeros(0, np.int64) for i in range(width)]
        return tuple(cat(self.levels, 3) + cat(self.spans, 4))


class Timeline:
    """Named channels and their events.

    ``Timeline({"laser": "d0", "camera": "d1", "ramp": "ao0"})`` names three outputs (all
    defaults 0); :meth:`channel` adds one with its default. Analog values are the interface's
    signed 16-bit values, or fractions of full scale with ``fraction=True``.
    """

    def __init__(self, channels: Optional[Mapping[str, str]] = None,
                 defaults: Optional[Mapping[str, Union[int, float]]] = None) -> None:
        self._channels: Dict[str, _Channel] = {}
        for name, output in (channels or {}).items():
            self.channel(name, output, (defaults or {}).get(name, 0))

    # ---- channels ----

    def channel(self, name: str, output: str, default: Union[int, float] = 0, fraction: bool = False) -> "Timeline":
        """Names an output ("d0".."d7", "ao0", "ao1") with the level it shows where no event says
        otherwise (0/1 for digital outputs). Returns the timeline."""
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise ValueError("channel name %r: 1 to 32 letters, digits, '_', '-' or spaces" % (name,))
        if output not in OUTPUTS:
            raise ValueError("channel %r: output %r is not one of %s" % (name, output, ", ".join(OUTPUTS)))
        if name in self._channels:
            raise ValueError("channel %r is named twice" % name)
        taken = [c.name for c in self._channels.values() if c.output == output]
        if taken:
            raise ValueError("channel %r: output %s is already channel %r" % (name, output, taken[0]))
        channel = _Channel(name, output, 0)
        channel.default = int(self._values(channel, 0, default, fraction))
        self._channels[name] = channel
        return self

    @property
    def channels(self) -> Dict[str, Tuple[str, int]]:
        """Channel name -> (output, default), in the order they were named."""
        return {c.name: (c.output, c.default) for c in self._channels.values()}

    def _channel(self, name: str) -> _Channel:
        try:
            return self._channels[name]
        except KeyError:
            raise ValueError("no channel %r (channels: %s)" % (name, ", ".join(self._channels) or "none")) from None

    # ---- events ----

    def set(self, channel: str, at: Times, value: Values, fraction: bool = False) -> "Timeline":
        """Holds `value` on the channel from time `at` until its next level."""
        c = self._channel(channel)
        t = _grid(c.name, at)
        t, v = np.broadcast_arrays(t, self._values(c, t, value, fraction))
        self._add_levels(c, t, v, _SET)
        return self

    #: An analog step: the value held from a time (the same as :meth:`set`).
    step = set

    def pulse(self, channel: str, at: Times, width: Times, value: Values = 1, fraction: bool = False) -> "Timeline":
        """Shows `value` (a digital channel: 1) on the channel for `width` from `at`, then the
        level that holds there again."""
        c = self._channel(channel)
        t, w = (a.ravel() for a in np.broadcast_arrays(_grid(c.name, at), _grid(c.name, width)))
        bad = np.flatnonzero(w <= 0)
        if bad.size:
            raise TimelineError(c.name, t[bad[0]], "pulse width %d ns: must be at least 1 ns" % w[bad[0]])
        t, w, v = np.broadcast_arrays(t, w, self._values(c, t, value, fraction))
        c.spans.append((t.ravel().copy(), (t + w).ravel(), v.ravel().copy(), np.full(t.size, _PULSE, np.int8)))
        return self

    def ramp(self, channel: str, start: Times, stop: Times, begin: Values, end: Values, step: Times,
             fraction: bool = False) -> "Timeline":
        """Steps the channel from `begin` at `start` towards `end`, a sample every `step` (the
        value on the straight line at the sample's time, rounded), and holds `end` from `stop` on
        (unless another event of the channel starts there)."""
        c = self._channel(channel)
        t0, t1, dt = np.broadcast_arrays(_grid(c.name, start), _grid(c.name, stop), _grid(c.name, step))
        t0, t1, dt = (a.ravel() for a in (t0, t1, dt))
        bad = np.flatnonzero((t1 <= t0) | (dt <= 0))
        if bad.size:
            raise TimelineError(c.name, t0[bad[0]], "ramp to %d ns in steps of %d ns: the stop must follow the start "
                                "and the step be at least 1 ns" % (t1[bad[0]], dt[bad[0]]))
        v0, v1 = (np.broadcast_to(self._values(c, t0, v, fraction), t0.shape) for v in (begin, end))
        counts = (t1 - t0 + dt - 1) // dt
        which = np.repeat(np.arange(t0.size), counts)
        k = np.arange(which.size) - np.repeat(np.cumsum(counts) - counts, counts)
        offset = k * dt[which]
        times = t0[which] + offset
        span = (t1 - t0)[which]
        values = v0[which] + (v1 - v0)[which] * offset / span
        values = np.copysign(np.floor(np.abs(values) + 0.5), values).astype(np.int64)
        self._add_levels(c, times, values, _SAMPLE)
        self._add_levels(c, t1, v1, _RAMP_END)
        c.spans.append((t0.copy(), t1.copy(), np.zeros(t0.size, np.int64), np.full(t0.size, _RAMP, np.int8)))
        return self

    def repeat(self, block: "Timeline", at: Times, period: Times, count: int) -> "Timeline":
        """Places `count` copies of `block`'s events, the first shifted by `at`, each next one by
        `period` more. The block's channels are matched by name (added here where missing)."""
        if count < 0:
            raise ValueError("repeat count %d: must not be negative" % count)
        for bc in block._channels.values():
            if bc.name not in self._channels:
                self.channel(bc.name, bc.output, bc.default)
            c = self._channels[bc.name]
            if c.output != bc.output:
                raise ValueError("channel %r is %s here and %s in the block" % (c.name, c.output, bc.output))
            shifts = _grid(c.name, at) + _grid(c.name, period) * np.arange(count, dtype=np.int64)
            lt, lv, lk, ss, se, sv, sk = bc.joined()

            def tiled(a: np.ndarray, shift: bool = False) -> np.ndarray:
                return (a[None, :] + shifts[:, None]).ravel() if shift else np.tile(a, count)
            if lt.size:
                c.levels.append((tiled(lt, True), tiled(lv), tiled(lk)))
            if ss.size:
                c.spans.append((tiled(ss, True), tiled(se, True), tiled(sv), tiled(sk)))
        return self

    def _values(self, c: _Channel, at: Any, value: Values, fraction: bool) -> np.ndarray:
        if fraction and c.analog:
            return fraction_to_value(value).astype(np.int64)
        v = np.asarray(value)
        low, high = (-32768, 32767) if c.analog else (0, 1)
        bad = ~np.isin(v, [0, 1]) if not c.analog else ~((v >= low) & (v <= high) & (v == np.round(v)))
        if np.any(bad):
            where = np.broadcast_to(np.asarray(at), np.broadcast(np.asarray(at), v).shape)
            i = np.flatnonzero(np.broadcast_to(bad, where.shape))[0]
            raise TimelineError(c.name, where.flat[i], "value %r: a %s output takes %s" % (
                np.broadcast_to(v, where.shape).flat[i], c.output,
                "whole values -32768..32767 (or fraction=True)" if c.analog else "0 or 1"))
        return v.astype(np.int64)

    @staticmethod
    def _add_levels(c: _Channel, t: np.ndarray, v: np.ndarray, kind: int) -> None:
        c.levels.append((t.ravel().copy(), v.ravel().copy(), np.full(t.size, kind, np.int8)))

    # ---- building ----

    def _checked(self) -> Iterator[Tuple[_Channel, Tuple[np.ndarray, ...]]]:
        """Each channel with its levels (time, value; sorted) and pulses (start, end, value;
        sorted), after refusing events that overlap."""
        for c in self._channels.values():
            lt, lv, lk, ss, se, sv, sk = c.joined()
            order = np.argsort(ss, kind="stable")  # sorted runs (each call's events): merged in linear time
            ss, se, sv, sk = ss[order], se[order], sv[order], sk[order]
            clash = np.flatnonzero(ss[1:] < se[:-1])
            if clash.size:
                i = clash[0]
                raise TimelineError(c.name, ss[i + 1], "overlaps the %s from %d to %d ns" % (
                    "pulse" if sk[i] == _PULSE else "ramp", ss[i], se[i]))
            order = np.argsort(lt * 4 + lk, kind="stable")  # by time, a ramp's end after other levels
            lt, lv, lk = lt[order], lv[order], lk[order]
            same = np.flatnonzero(lt[1:] == lt[:-1])
            twice = same[lk[same + 1] != _RAMP_END]
            if twice.size:
                raise TimelineError(c.name, lt[twice[0]], "two levels at one time")
            keep = np.ones(lt.size, bool)
            keep[same + 1] = False  # a ramp's end gives way to a level set at its time
            lt, lv, lk = lt[keep], lv[keep], lk[keep]
            user = np.flatnonzero(lk == _SET)
            j = np.searchsorted(ss, lt[user], "right") - 1
            inside = (j >= 0) & (lt[user] < (se[np.maximum(j, 0)] if se.size else 0))
            if np.any(inside):
                i = np.flatnonzero(inside)[0]
                raise TimelineError(c.name, lt[user[i]], "a level inside the %s from %d to %d ns" % (
                    "pulse" if sk[j[i]] == _PULSE else "ramp", ss[j[i]], se[j[i]]))
            pulses = sk == _PULSE
            yield c, (lt, lv, ss[pulses], se[pulses], sv[pulses])

    @staticmethod
    def _at(c: _Channel, events: Tuple[np.ndarray, ...], times: np.ndarray) -> np.ndarray:
        """The channel's value from each of `times` on."""
        lt, lv, ps, pe, pv = events
        i = np.searchsorted(lt, times, "right") - 1
        value = np.where(i >= 0, lv[np.maximum(i, 0)] if lv.size else 0, c.default)
        j = np.searchsorted(ps, times, "right") - 1
        inside = (j >= 0) & (times < (pe[np.maximum(j, 0)] if pe.size else 0))
        return np.where(inside, pv[np.maximum(j, 0)] if pv.size else 0, value)

    def end(self) -> int:
        """Where the timeline ends by default: the last time any event names (ns)."""
        return _last(list(self._checked()))

    def build(self, end: Optional[Times] = None) -> np.ndarray:
        """The shortest pulse list (:data:`~tarvex.PULSE_DTYPE`) that plays the timeline from 0 to
        `end` (default :meth:`end`): equal neighbours merged, whole nanoseconds. Outputs without a
        channel stay 0. Raises TimelineError for overlapping events or events after `end`."""
        checked = list(self._checked())
        stop = _last(checked) if end is None else int(_grid("end", end))
        changes = {}
        for c, events in checked:
            lt, _, ps, pe, _ = events
            late = np.concatenate((lt[lt > stop], ps[pe > stop]))
            if late.size:
                raise TimelineError(c.name, late.min(), "after the end of the timeline at %d ns" % stop)
            # Sorted runs: the stable sort merges them in linear time.
            at = np.sort(np.concatenate((lt, ps, pe)), kind="stable")
            changes[c.name] = at[at < stop]
        t = np.sort(np.concatenate([np.zeros(1, np.int64)] + list(changes.values())), kind="stable")
        t = t[np.concatenate(([True], t[1:] != t[:-1]))]
        digital = np.zeros(t.size, np.uint8)
        analog = {"ao0": np.zeros(t.size, np.int16), "ao1": np.zeros(t.size, np.int16)}
        for c, events in checked:
            # The channel's value at its own changes, carried forward over every time of the list.
            at = changes[c.name]
            index = np.zeros(t.size, np.int32 if at.size < 2 ** 31 - 1 else np.int64)
            index[np.searchsorted(t, at)] = np.arange(1, at.size + 1, dtype=index.dtype)
            np.maximum.accumulate(index, out=index)
            v = np.concatenate(([c.default], self._at(c, events, at)))[index]
            if c.analog:
                analog[c.output] = v.astype(np.int16)
            else:
                digital |= (v.astype(np.uint8) << np.uint8(int(c.output[1:])))
        ticks = np.diff(np.append(t, stop)).astype(np.uint64)
        return _merged(ticks, digital, analog["ao0"], analog["ao1"])

    def final_state(self, end: Optional[Times] = None) -> Tuple[int, int, int]:
        """(digital, ao0, ao1) at `end` (default :meth:`end`): the state to show after the list."""
        checked = list(self._checked())
        stop = np.array([_last(checked) if end is None else int(_grid("end", end))])
        state = [0, 0, 0]
        for c, events in checked:
            v = int(self._at(c, events, stop)[0])
            if c.analog:
                state[1 + int(c.output[2])] = v
            else:
                state[0] |= v << int(c.output[1:])
        return state[0], state[1], state[2]

    def plot(self, **options: Any) -> Any:
        """Plots the built list with the channel names (see :func:`tarvex.plot`)."""
        from .plot import plot
        return plot(self, **options)

    # ---- setup file ----

    def save_setup(self, path: str = DEFAULT_SETUP_FILE) -> None:
        """Writes the channel names, outputs and defaults to a setup file (JSON)."""
        document = {"format": SETUP_FORMAT, "version": SETUP_VERSION, "channels": [
            {"name": c.name, "output": c.output, "default": c.default} for c in self._channels.values()]}
        with open(path, "w", encoding="utf-8") as f:
            json.dump(document, f, indent=2, ensure_ascii=False)
            f.write("\n")

    @classmethod
    def load_setup(cls, path: str = DEFAULT_SETUP_FILE) -> "Timeline":
        """A timeline (without events) with the channels of a setup file. Refuses other formats
        and versions, and channels the file describes badly, with ValueError naming the file."""
        with open(path, "rb") as f:
            data = f.read(MAX_SETUP_BYTES + 1)
        try:
            if len(data) > MAX_SETUP_BYTES:
                raise ValueError("larger than %d bytes" % MAX_SETUP_BYTES)
            document = json.loads(data.decode("utf-8"))
            if not isinstance(document, dict) or document.get("format") != SETUP_FORMAT:
                raise ValueError('not a setup file (no "format": "%s")' % SETUP_FORMAT)
            if document.get("version") != SETUP_VERSION:
                raise ValueError("version %r, this package reads version %d" % (document.get("version"), SETUP_VERSION))
            channels = document.get("channels")
            if not isinstance(channels, list):
                raise ValueError('"channels" is not a list')
            timeline = cls()
            for i, entry in enumerate(channels):
                if not isinstance(entry, dict):
                    raise ValueError("channel %d is not an object" % (i + 1))
                default = entry.get("default", 0)
                if isinstance(default, bool) or not isinstance(default, int):
                    raise ValueError("channel %d: default %r is not a whole number" % (i + 1, default))
                try:
                    timeline.channel(entry.get("name"), entry.get("output"), default)
                except TimelineError as e:
                    raise ValueError(e.cause) from None
        except (ValueError, UnicodeDecodeError) as e:
            raise ValueError("setup file %s: %s" % (path, e)) from None
        return timeline


def _last(checked: List[Tuple[_Channel, Tuple[np.ndarray, ...]]]) -> int:
    """The last time the checked events name: a level's (a ramp's end among them) or a pulse's end."""
    ends = [int(a.max()) for _, (lt, _, _, pe, _) in checked for a in (lt, pe) if a.size]
    return max(ends, default=0)


def _grid(channel: str, t: Times) -> np.ndarray:
    """Times as whole nanoseconds (int64); refuses times off the 1 ns grid, negative or not finite.
    Float times within rounding error of a whole nanosecond count as that nanosecond."""
    a = np.asarray(t)
    if a.dtype.kind in "iu":
        whole = a.astype(np.int64)
        if np.any((a < 0) | (a > 2 ** 60)):
            raise TimelineError(channel, a[(a < 0) | (a > 2 ** 60)].flat[0], "negative time or out of range")
        return whole
    if a.dtype.kind not in "f":
        a = a.astype(np.float64)
    r = np.rint(a)
    bad = ~np.isfinite(a) | (np.abs(a - r) > np.maximum(1e-9, 1e-14 * np.abs(a))) | (r < 0) | (r > 2 ** 60)
    if np.any(bad):
        first = a[bad].flat[0]
        raise TimelineError(channel, first, "not on the 1 ns grid" if 0 <= first <= 2 ** 60 else "out of range")
    return r.astype(np.int64)


__all__ = ["Timeline", "ns", "us", "ms", "s", "OUTPUTS", "DEFAULT_SETUP_FILE", "PULSE_DTYPE"]
