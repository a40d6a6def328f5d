"""Python client of the Tarvex pulse-pattern generator.

- :func:`discover` finds instruments; :class:`Instrument` (or :func:`connect`) controls one.
- Pulse lists are numpy arrays of :data:`PULSE_DTYPE` (ticks, digital, ao0, ao1).
- :class:`Timeline` places events on named channels in real units (:data:`ns`, :data:`us`,
  :data:`ms`, :data:`s`) and builds the shortest pulse list that plays them.
- :func:`plot` draws a list or timeline when matplotlib is installed.
"""
from .discovery import Discovered, Identity, discover
from .errors import ProtocolError, Refused, TarvexError, TimelineError, Unreachable
from .instrument import (ClockSource, Instrument, NetworkSettings, NextAction, OnNoData, PlayState, Rearm,
                         SequenceControlData, StreamingState, SupplyState, TriggerStart, When, connect)
from .plot import plot
from .pulselist import (FRACTION_DTYPE, NEUTRAL, PULSE_DTYPE, Calibration, as_pulses, code_to_value,
                     fraction_to_value, merge_equal, pulses, to_fraction, value_to_code, value_to_fraction)
from .timeline import DEFAULT_SETUP_FILE, OUTPUTS, Timeline, ms, ns, s, us

__version__ = "1.0.0"

__all__ = [
    "discover", "Discovered", "Identity", "Instrument", "connect",
    "TarvexError", "Unreachable", "Refused", "ProtocolError", "TimelineError",
    "TriggerStart", "Rearm", "ClockSource", "NextAction", "When", "OnNoData", "PlayState",
    "StreamingState", "SupplyState", "NetworkSettings", "SequenceControlData",
    "PULSE_DTYPE", "FRACTION_DTYPE", "Calibration", "NEUTRAL", "pulses", "as_pulses", "to_fraction",
    "merge_equal", "value_to_code", "code_to_value", "fraction_to_value", "value_to_fraction",
    "Timeline", "ns", "us", "ms", "s", "OUTPUTS", "DEFAULT_SETUP_FILE", "plot",
]
