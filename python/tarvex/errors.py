"""Exceptions of the tarvex package. Every failure of an instrument names the instrument
(address and port) and the cause."""
from __future__ import annotations

from typing import Optional


class TarvexError(Exception):
    """A failure talking to an instrument.

    Attributes: `instrument` ("address:port" of the interface that failed), `cause` (the reason in
    words) and `code` (the instrument's own status or result, where it gave one)."""

    def __init__(self, instrument: str, cause: str, code: Optional[int] = None) -> None:
        super().__init__("%s: %s" % (instrument, cause))
        self.instrument = instrument
        self.cause = cause
        self.code = code


class Unreachable(TarvexError):
    """The instrument could not be reached, or gave no answer in time."""


class Refused(TarvexError):
    """The instrument answered and refused the request (its status or result is in `code`)."""


class ProtocolError(TarvexError):
    """The instrument's answer breaks the protocol (malformed, oversized, cut short)."""


class TimelineError(ValueError):
    """A timeline that cannot be built: names the channel and the time (in ns) at fault."""

    def __init__(self, channel: str, time_ns: float, cause: str) -> None:
        super().__init__("channel %r at %s ns: %s" % (channel, _ns_text(time_ns), cause))
        self.channel = channel
        self.time_ns = time_ns
        self.cause = cause


def _ns_text(t: float) -> str:
    return str(int(t)) if float(t).is_integer() else repr(float(t))
