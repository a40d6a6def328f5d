"""Pulse lists as numpy arrays, and the conversion between analog values and DAC codes.

A pulse list is a one-dimensional array of :data:`PULSE_DTYPE`: the 9-byte record of the binary
protocol (little-endian, packed), so an array goes to the instrument as it lies in memory.
Analog values are the interface's signed 16-bit values; :data:`FRACTION_DTYPE` holds them as
fractions of full scale (-1.0 to 1.0, where 1.0 is 32767) instead.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Tuple, Union

import numpy as np

#: One pulse: duration in ticks of 1 ns, digital outputs (bit i = output i), two analog values.
PULSE_DTYPE = np.dtype([("ticks", "<u4"), ("digital", "u1"), ("ao0", "<i2"), ("ao1", "<i2")])
#: The same pulse with the analog values as fractions of full scale.
FRACTION_DTYPE = np.dtype([("ticks", "<u4"), ("digital", "u1"), ("ao0", "<f8"), ("ao1", "<f8")])

FULL_SCALE = 32767
MAX_TICKS = 0xFFFFFFFF
MAX_STREAM_PULSES = 2_000_000
MAX_UPLOAD_PULSES = 1_000_000


@dataclass(frozen=True)
class Calibration:
    """The analog calibration as the interfaces report it: DC offsets as fractions of full scale
    and slopes (neutral: offsets 0, slopes 1)."""

    dc_offset_a0: float = 0.0
    dc_offset_a1: float = 0.0
    slope_a0: float = 1.0
    slope_a1: float = 1.0

    def output(self, n: int) -> Tuple[float, float]:
        """(offset, slope) of analog output `n` (0 or 1)."""
        return (self.dc_offset_a0, self.slope_a0) if n == 0 else (self.dc_offset_a1, self.slope_a1)


NEUTRAL = Calibration()


def _round_away(x: Any) -> np.ndarray:
    """Rounds halves away from zero, as the instrument does."""
    x = np.asarray(x, dtype=np.float64)
    return np.copysign(np.floor(np.abs(x) + 0.5), x)


def coefficients(dc_offset: float, slope: float) -> Tuple[int, int]:
    """The 16.16 fixed-point gain and offset the instrument derives from one output's calibration:
    code = clamp(gain * value + offset, 0, 0x3FFF0000) >> 16."""
    factor = 1.0 / slope if slope != 0 else 1.0
    file_offset = float(_round_away(dc_offset * 32767 * 0.25))
    gain = int(_round_away(factor * -0.25 * 65536))
    offset = int(_round_away((file_offset * factor + 8192) * 65536))
    return gain, offset


def value_to_code(values: Any, dc_offset: float = 0.0, slope: float = 1.0) -> np.ndarray:
    """DAC codes (0..16383) of analog values, exactly as the instrument converts them."""
    gain, offset = coefficients(dc_offset, slope)
    x = np.asarray(values, dtype=np.int64) * gain + offset
    return (np.clip(x, 0, 0x3FFF0000) >> 16).astype(np.uint16)


def code_to_value(codes: Any, dc_offset: float = 0.0, slope: float = 1.0) -> np.ndarray:
    """The analog values the calibration turns into `codes`: for each code the value it maps onto
    the code exactly (with the neutral calibration a multiple of 4), else the nearest value that
    gives it; where no value gives it, the nearest to where it would lie."""
    codes = np.asarray(codes, dtype=np.int64)
    gain, offset = coefficients(dc_offset, slope)
    if gain == 0:
        return np.zeros(codes.shape, dtype=np.int16)
    exact = (codes.astype(np.float64) * 65536 - offset) / gain
    guess = np.clip(_round_away(exact), -32768, 32767).astype(np.int64)
    result = guess.copy()
    found = value_to_code(guess, dc_offset, slope) == codes
    for d in range(1, 65):
        if found.all():
            break
        for candidate in (guess - d, guess + d):
            ok = ~found & (candidate >= -32768) & (candidate <= 32767)
            ok &= value_to_code(np.clip(candidate, -32768, 32767), dc_offset, slope) == codes
            result[ok] = candidate[ok]
            found |= ok
    return result.astype(np.int16)


def fraction_to_value(fractions: Any) -> np.ndarray:
    """Interface values of fractions of full scale (1.0 is 32767, -1.0 is -32767); values outside
    -1.0..1.0 or not finite are refused with ValueError."""
    f = np.asarray(fractions, dtype=np.float64)
    if not np.all(np.isfinite(f)) or np.any(np.abs(f) > 1.0):
        bad = f[~(np.isfinite(f) & (np.abs(f) <= 1.0))].flat[0]
        raise ValueError("analog fraction %r is outside -1.0 to 1.0" % bad)
    return _round_away(f * FULL_SCALE).astype(np.int16)


def value_to_fraction(values: Any) -> np.ndarray:
    """Fractions of full scale of interface values (value / 32767)."""
    return np.asarray(values, dtype=np.float64) / FULL_SCALE


ArrayLike = Union[np.ndarray, Any]


def pulses(ticks: ArrayLike, digital: ArrayLike = 0, ao0: ArrayLike = 0, ao1: ArrayLike = 0,
           fraction: bool = False) -> np.ndarray:
    """A pulse list from columns (scalars are broadcast). With `fraction`, ao0 and ao1 are
    fractions of full scale. Values out of range raise ValueError."""
    t, d, a0, a1 = np.broadcast_arrays(*(np.asarray(c) for c in (ticks, digital, ao0, ao1)))
    out = np.empty(t.shape[0] if t.ndim else 1, dtype=PULSE_DTYPE)
    _check_range("ticks", t, 0, MAX_TICKS)
    _check_range("digital", d, 0, 255)
    out["ticks"], out["digital"] = t.ravel(), d.ravel()
    for name, column in (("ao0", a0), ("ao1", a1)):
        if fraction:
            out[name] = fraction_to_value(column).ravel()
        else:
            _check_range(name, column, -32768, 32767)
            out[name] = column.ravel()
    return out


def _check_range(name: str, column: np.ndarray, low: int, high: int) -> None:
    if column.size and (not np.issubdtype(column.dtype, np.number) or column.min() < low or column.max() > high):
        raise ValueError("%s must lie in %d..%d" % (name, low, high))


def as_pulses(data: ArrayLike) -> np.ndarray:
    """A contiguous :data:`PULSE_DTYPE` array of `data`: returned as it is when it already is one,
    else converted from a structured array with the fields ticks, digital, ao0 and ao1 (float
    analog fields are taken as fractions of full scale) or from an (n, 4) array of numbers."""
    a = np.asarray(data)
    if a.dtype == PULSE_DTYPE and a.ndim == 1:
        return np.ascontiguousarray(a)
    if a.dtype.names:
        missing = {"ticks", "digital", "ao0", "ao1"} - set(a.dtype.names)
        if missing:
            raise ValueError("a pulse list needs the fields ticks, digital, ao0, ao1 (missing %s)" % ", ".join(sorted(missing)))
        fraction = a.dtype["ao0"].kind == "f"
        return pulses(a["ticks"].ravel(), a["digital"].ravel(), a["ao0"].ravel(), a["ao1"].ravel(), fraction)
    if a.ndim == 2 and a.shape[1] == 4:
        return pulses(a[:, 0], a[:, 1], a[:, 2], a[:, 3])
    raise ValueError("a pulse list is a structured array (ticks, digital, ao0, ao1) or an (n, 4) array, not shape %s"
                     % (a.shape,))


def to_fraction(p: ArrayLike) -> np.ndarray:
    """The pulse list as :data:`FRACTION_DTYPE` (analog values as fractions of full scale)."""
    p = as_pulses(p)
    out = np.empty(p.shape, dtype=FRACTION_DTYPE)
    out["ticks"], out["digital"] = p["ticks"], p["digital"]
    out["ao0"], out["ao1"] = value_to_fraction(p["ao0"]), value_to_fraction(p["ao1"])
    return out


def merge_equal(p: np.ndarray) -> np.ndarray:
    """Joins neighbouring pulses of the same state (durations added, each record at most
    4,294,967,295 ticks) and drops pulses of 0 ticks: the shortest list that plays the same."""
    return _merged(p["ticks"], p["digital"], p["ao0"], p["ao1"])


def _merged(ticks: np.ndarray, digital: np.ndarray, ao0: np.ndarray, ao1: np.ndarray) -> np.ndarray:
    """Records of the states held for `ticks` each, equal neighbours joined, empty ones dropped."""
    held = ticks > 0
    ticks, digital, ao0, ao1 = ticks[held], digital[held], ao0[held], ao1[held]
    if ticks.size == 0:
        return np.zeros(0, dtype=PULSE_DTYPE)
    change = (digital[1:] != digital[:-1]) | (ao0[1:] != ao0[:-1]) | (ao1[1:] != ao1[:-1])
    starts = np.flatnonzero(np.concatenate(([True], change)))
    total = np.add.reduceat(ticks.astype(np.uint64), starts)
    return _records(total, digital[starts], ao0[starts], ao1[starts])


def _records(total: np.ndarray, digital: np.ndarray, ao0: np.ndarray, ao1: np.ndarray) -> np.ndarray:
    """Records of states held for `total` ticks each (uint64), split where a state is held longer
    than one record can say."""
    total = np.asarray(total, dtype=np.uint64)
    if total.size == 0 or total.max() <= MAX_TICKS:
        out = np.empty(total.size, dtype=PULSE_DTYPE)
        out["ticks"], out["digital"], out["ao0"], out["ao1"] = total, digital, ao0, ao1
        return out
    pieces = np.maximum((total + np.uint64(MAX_TICKS - 1)) // np.uint64(MAX_TICKS), 1).astype(np.int64)
    out = np.empty(int(pieces.sum()), dtype=PULSE_DTYPE)
    out["digital"], out["ao0"], out["ao1"] = (np.repeat(c, pieces) for c in (digital, ao0, ao1))
    out["ticks"] = MAX_TICKS
    last = np.cumsum(pieces) - 1
    out["ticks"][last] = total - (pieces - 1).astype(np.uint64) * np.uint64(MAX_TICKS)
    return out


def from_segments(segments: np.ndarray, calibration: Calibration = NEUTRAL) -> np.ndarray:
    """A pulse list of readback segments (rows of ticks, digital byte, DAC code 0, DAC code 1),
    the codes turned into the analog values that give them under `calibration`."""
    s = np.asarray(segments, dtype=np.uint64).reshape(-1, 4)
    ao0 = code_to_value(s[:, 2], *calibration.output(0))
    ao1 = code_to_value(s[:, 3], *calibration.output(1))
    return _records(s[:, 0], s[:, 1].astype(np.uint8), ao0, ao1)
