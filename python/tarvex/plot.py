"""Plots of pulse lists and timelines with matplotlib (needed only here: the package works
without it)."""
from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from .pulselist import FULL_SCALE, as_pulses

UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": 1_000_000_000}


def plot(data: Any, unit: str = "us", labels: Optional[Dict[str, str]] = None, figure: Any = None) -> Any:
    """Draws a pulse list or a :class:`~tarvex.Timeline`: a row per digital output in use and the
    analog outputs as fractions of full scale, against time in `unit` ("ns", "us", "ms", "s").
    `labels` names outputs ("d0".."d7", "ao0", "ao1"; a timeline's channel names by default).
    Returns the matplotlib figure (a new one unless `figure` is given)."""
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("tarvex.plot needs matplotlib (Debian: python3-matplotlib)") from None
    if unit not in UNITS:
        raise ValueError("unit %r is not one of %s" % (unit, ", ".join(UNITS)))
    names = dict(labels or {})
    if hasattr(data, "build"):
        names = {**{out: name for name, (out, _) in data.channels.items()}, **names}
        data = data.build()
    p = as_pulses(data)
    edges = np.concatenate(([0], np.cumsum(p["ticks"], dtype=np.uint64))).astype(np.float64) / UNITS[unit]
    fig = figure if figure is not None else plt.figure(figsize=(10, 5))
    digital_axes, analog_axes = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [2, 1]})
    used = [bit for bit in range(8) if np.any(p["digital"] & (1 << bit)) or "d%d" % bit in names]
    for row, bit in enumerate(used):
        level = ((p["digital"] >> bit) & 1).astype(np.float64)
        digital_axes.stairs(row * 1.5 + level, edges, baseline=None)
    digital_axes.set_yticks([row * 1.5 + 0.5 for row in range(len(used))])
    digital_axes.set_yticklabels([names.get("d%d" % bit, "d%d" % bit) for bit in used])
    for out in ("ao0", "ao1"):
        if np.any(p[out]) or out in names:
            analog_axes.stairs(p[out] / FULL_SCALE, edges, baseline=None, label=names.get(out, out))
    analog_axes.set_ylabel("fraction of full scale")
    analog_axes.set_xlabel("time (%s)" % unit)
    if analog_axes.get_legend_handles_labels()[0]:
        analog_axes.legend(loc="upper right")
    return fig
