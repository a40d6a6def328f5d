"""One instrument: control over gRPC (port 50051), pulse lists over the binary protocol (port
21328, sent straight from the array's memory), readback of a slot over HTTP (port 8050).

Every call is bounded by the instrument's time-out and every answer by a size limit. Failures raise
:class:`~tarvex.errors.Unreachable`, :class:`~tarvex.errors.Refused` or
:class:`~tarvex.errors.ProtocolError`, naming the instrument's address and port and the cause.
An Instrument is not thread-safe; use one per thread.
"""
from __future__ import annotations

import enum
import itertools
import json
import socket
import struct
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional, Tuple

import grpc
import numpy as np

from . import discovery
from ._grpc import tarvex_pb2 as pb
from ._grpc import tarvex_pb2_grpc as pb_grpc
from .errors import ProtocolError, Refused, TarvexError, Unreachable
from .pulselist import (MAX_STREAM_PULSES, MAX_UPLOAD_PULSES, Calibration, as_pulses, fraction_to_value,
                     from_segments, to_fraction)

GRPC_PORT = 50051
HTTP_PORT = 8050
BINARY_PORT = 21328

MAX_GRPC_REPLY = 64 * 1024         # the largest reply, a streaming state, is a few dozen bytes
MAX_HTTP_HEADER = 16 * 1024
MAX_HTTP_BODY = 8 << 20            # a readback page of PAGE segments is below 1 MiB
MAX_SEGMENTS = 1 << 27             # more than a slot's memory can describe
PAGE = 16384                       # segments asked for per readback request

_MAGIC = b"KWQZ"
_CMD_STREAM, _CMD_UPLOAD = 0x000, 0x100
_HEADER = struct.Struct("<4sIIIQQ")
_SEQUENCE = struct.Struct("<qQhhB3xBBBBI")
_tags = itertools.count(1)

_STATUS_WORDS = {1: "the sequence does not fit the sequence memory", 2: "the instrument ran out of memory",
                 3: "transfer error", 4: "unknown command", 5: "too many pulses", 6: "calibration failed",
                 7: "the sequence was loaded but did not start"}

Progress = Callable[[int, int], None]
State = Tuple[int, int, int]


class TriggerStart(enum.IntEnum):
    """What starts playback once a sequence is loaded."""
    IMMEDIATE = 0
    SOFTWARE = 1
    HARDWARE_RISING = 2
    HARDWARE_FALLING = 3
    HARDWARE_RISING_AND_FALLING = 4


class Rearm(enum.IntEnum):
    """What happens after playback finished: AUTO plays again at the next trigger, MANUAL only
    after :meth:`Instrument.rearm`."""
    AUTO = 0
    MANUAL = 1


class ClockSource(enum.IntEnum):
    """Where the output clock comes from."""
    INTERNAL = 0
    EXT_125MHZ = 1
    EXT_10MHZ = 2


class NextAction(enum.IntEnum):
    """What follows an uploaded slot's runs."""
    STOP = 0
    OTHER_SLOT = 1
    OTHER_SLOT_BIT4 = 2  #: as OTHER_SLOT, also setting the slot's bit 4
    LOOP = 3


class When(enum.IntEnum):
    """When the change to the other slot comes."""
    AT_ONCE = 0
    END_OF_RUN = 1


class OnNoData(enum.IntEnum):
    """What a slot chained to an empty other slot does."""
    STOP = 0
    REPEAT = 1
    REPEAT_LIMITED = 2


class PlayState(enum.IntEnum):
    """The playback state of :meth:`Instrument.streaming_state`."""
    IDLE = 0
    LOADING = 1
    STREAMING = 2
    LOADED = 3
    FAULT = 4


@dataclass(frozen=True)
class StreamingState:
    """Playback state and its counters (times in 8 ns cycles since the FIFOs were loaded)."""
    total_time: int
    streaming_time: int
    underflow_time: int
    waiting_data_time: int
    state: PlayState
    state_condition: int
    error_message: str
    slot_changes: int


@dataclass(frozen=True)
class SupplyState:
    """Current through the supply's electronic fuse (A) and the 12 V and 3.3 V rails (V)."""
    efuse_current: float
    v12: float
    v33: float


@dataclass(frozen=True)
class NetworkSettings:
    """Network settings: DHCP, or a static address, netmask and gateway (dotted)."""
    dhcp: bool
    ip: str = ""
    netmask: str = ""
    gateway: str = ""


@dataclass(frozen=True)
class SequenceControlData:
    """What a slot holds: encoded bytes, memory commands, 8-tick words of one run, data rate."""
    bytes: int
    commands: int
    whole_ticks: int
    data_rate_gbit: float


def _state(final: Optional[State], fraction: bool) -> Tuple[int, int, int]:
    digital, ao0, ao1 = final if final is not None else (0, 0, 0)
    if fraction:
        ao0, ao1 = (int(v) for v in fraction_to_value([ao0, ao1]))
    if not 0 <= digital <= 255 or not all(-32768 <= v <= 32767 for v in (ao0, ao1)):
        raise ValueError("output state %r: digital 0..255, analog -32768..32767" % ((digital, ao0, ao1),))
    return int(digital), int(ao0), int(ao1)


class Instrument:
    """One instrument, by address or name, usable in a ``with`` block::

        with tarvex.Instrument("192.168.1.100") as lab:
            lab.stream(pulses, runs=-1)

    A name that does not resolve is looked for among the hostnames and serials that answer
    discovery. `timeout` (seconds) bounds connecting and each answer; an upload's answer comes
    after the device took it (up to 7 s for a busy slot), so keep it above 8 s for uploads.
    """

    def __init__(self, address: str, timeout: float = 10.0, discovery_timeout: float = 2.0) -> None:
        self.name = address
        self.timeout = timeout
        try:
            socket.getaddrinfo(address, None, socket.AF_INET)
            self.address = address
        except (socket.gaierror, UnicodeError):
            found = discovery.find(address, discovery_timeout)
            if found is None:
                raise Unreachable(address, "the name does not resolve and no instrument of that hostname or "
                                  "serial answered discovery") from None
            self.address = found.address
        self._endpoint = "%s:%d" % (self.address, GRPC_PORT)
        self._channel = grpc.insecure_channel(self._endpoint, options=[
            ("grpc.max_receive_message_length", MAX_GRPC_REPLY), ("grpc.enable_retries", 0)])
        self._stub = pb_grpc.TarvexStub(self._channel)

    def __enter__(self) -> "Instrument":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes the gRPC channel (every other connection is closed after its call)."""
        self._channel.close()

    def __repr__(self) -> str:
        return "Instrument(%r)" % self.address

    # ---- gRPC ----

    def _call(self, method: str, request: Any = None) -> Any:
        try:
            return getattr(self._stub, method)(request if request is not None else pb.VoidMessage(),
                                               timeout=self.timeout)
        except grpc.RpcError as e:
            code, details = e.code(), e.details() or ""
            message = ": " + details if details else ""
            if code == grpc.StatusCode.UNAVAILABLE:
                raise Unreachable(self._endpoint, "cannot reach the instrument" + message) from None
            if code == grpc.StatusCode.DEADLINE_EXCEEDED:
                raise Unreachable(self._endpoint, "no answer to %s within %g s" % (method, self.timeout)) from None
            if code == grpc.StatusCode.RESOURCE_EXHAUSTED:
                raise ProtocolError(self._endpoint, "oversized reply to %s%s" % (method, message)) from None
            raise Refused(self._endpoint, "refused %s (gRPC status %s%s)" % (method, code.name, message),
                          code.value[0]) from None

    def _checked(self, value: int, what: str) -> int:
        """A device result below zero is a refusal (unsigned replies carry -1 as 4294967295)."""
        if value >= 0x80000000:
            value -= 1 << 32
        if value < 0:
            raise Refused(self._endpoint, "refused %s (result %d)" % (what, value), value)
        return value

    def _value(self, method: str, request: Any = None) -> int:
        return self._checked(self._call(method, request).value, method)

    def _text(self, method: str) -> str:
        return self._call(method).string_value

    # identity and state
    def serial(self) -> str:
        """The Ethernet address, "XX:XX:XX:XX:XX:XX"."""
        return self._text("getSerial")

    def hostname(self) -> str:
        """The hostname in force."""
        return self._text("getHostname")

    def firmware_version(self) -> str:
        """"major.minor.patch"."""
        return self._text("getFirmwareVersion")

    def hardware_version(self) -> str:
        """"prior_3.0", "3.1" to "3.4", or "unknown_N"."""
        return self._text("getHardwareVersion")

    def fpga_id(self) -> str:
        """The FPGA identifier in hexadecimal."""
        return self._text("getFPGAID")

    def temperature(self) -> str:
        """As the instrument words it: "On-Chip Temperature: 34.45 °C"."""
        return self._text("getTemperature")

    def supply(self) -> SupplyState:
        """Supply current and rails."""
        r = self._call("getSupplyState")
        return SupplyState(r.efuse_current, r.v12, r.v33)

    def streaming_state(self) -> StreamingState:
        """Playback state and its counters."""
        r = self._call("getStreamingState")
        state = PlayState(r.state) if r.state in PlayState._value2member_map_ else r.state
        return StreamingState(r.total_time, r.streaming_time, r.underflow_time, r.waiting_data_time, state,
                              r.state_condition, r.error_message, r.slot_changes)

    def is_streaming(self) -> bool:
        """True while a sequence plays."""
        return self._call("isStreaming").value != 0

    def has_sequence(self) -> bool:
        """True when a slot holds a sequence."""
        return self._call("hasSequence").value != 0

    def has_finished(self) -> bool:
        """True when playback finished without a fault."""
        return self._call("hasFinished").value != 0

    def underflow(self) -> bool:
        """True while the fault indication (underflow, no data) is set."""
        return self._call("getUnderflow").value != 0

    def status_register(self) -> int:
        """The FPGA's status word."""
        return self._call("getStatusRegister").value

    def is_ready_for_data(self, slot: int) -> bool:
        """True when the slot's memory is free for an upload."""
        return self._call("isReadyForData", pb.ReadyForDataMessage(slot_nr=slot)).value != 0

    # run control
    def reset(self) -> None:
        """Stops playback, clears both slots, all outputs low and analog 0, no square waves,
        trigger IMMEDIATE / AUTO, internal clock."""
        self._value("reset")

    def reboot(self) -> None:
        """Reboots the instrument (about 1 s later)."""
        self._value("reboot")

    def constant(self, digital: int = 0, ao0: float = 0, ao1: float = 0, fraction: bool = False) -> None:
        """Stops playback, clears both slots and shows this output state."""
        d, a0, a1 = _state((digital, ao0, ao1), fraction)  # type: ignore[arg-type]
        self._value("constant", pb.PulseMessage(digi=d, ao0=a0, ao1=a1))

    def force_final(self) -> None:
        """Stops playback, clears both slots and shows the last final (or constant) state."""
        self._value("forceFinal")

    def start_now(self) -> None:
        """The software trigger."""
        self._value("startNow")

    def start(self, slot: int = 0, slots_to_run: int = -1) -> None:
        """Plays what a slot holds; `slots_to_run` ends a chain of slots after that many slot plays
        (-1 or 0: no limit). Refused when the slot is empty, already playing, armed or faulty."""
        self._checked(self._call("start", pb.StartMessage(slot_nr=slot, slots_to_run=slots_to_run)).value,
                      "start of slot %d" % slot)

    def rearm(self) -> bool:
        """Manual rearm: True when a finished sequence was rearmed."""
        return self._call("rearm").value == 1

    # trigger and clock
    def set_trigger(self, start: TriggerStart, rearm: Rearm = Rearm.AUTO) -> None:
        """Sets start mode and rearm mode."""
        self._value("setTrigger", pb.TriggerMessage(start=int(start), mode=int(rearm)))

    def trigger_start(self) -> TriggerStart:
        """The start mode."""
        return TriggerStart(self._call("getTriggerStart").value)

    def trigger_rearm(self) -> Rearm:
        """The rearm mode."""
        return Rearm(self._call("getTriggerRearm").value)

    def select_clock(self, source: ClockSource) -> None:
        """Selects the clock source."""
        self._value("selectClock", pb.ClockMessage(clock_source=int(source)))

    def clock(self) -> ClockSource:
        """The clock source."""
        return ClockSource(self._call("getClock").value)

    def set_clock_reference(self, mhz: float) -> None:
        """Programs the clock multiplier for an external reference of `mhz` (625 / mhz in [1, 65))."""
        self._checked(self._call("setClkParam", pb.DrpClkSetMessage(value=mhz)).value,
                      "the clock reference %g MHz" % mhz)

    def shift_clock_phase(self, steps: int) -> None:
        """Shifts the output clock's phase by `steps` (positive forward)."""
        self._checked(self._call("shiftClkPhase", pb.ClkShiftMessage(value=steps)).value,
                      "the clock phase shift of %d steps" % steps)

    def set_square_wave(self, outputs: int) -> None:
        """125 MHz square waves on the digital outputs whose bits are set (0 switches off)."""
        self._value("setSquareWave125MHz", pb.SetSquareWaveMessage(digi=outputs))

    def set_debug_register(self, value: int, mask: int) -> None:
        """Accepted for compatibility; has no effect."""
        self._value("setDebugRegister", pb.RegisterMessage(value=value, mask=mask))

    # settings kept on the instrument
    def network(self, permanent: bool = True) -> NetworkSettings:
        """The stored settings (`permanent`) or the settings in force."""
        r = self._call("getNetworkConfiguration", pb.GetNetworkMessage(permanent=permanent))
        return NetworkSettings(r.dhcp, r.ip, r.netmask, r.gateway)

    def set_network(self, settings: NetworkSettings, testmode: bool = False) -> None:
        """Stores the settings and reboots; with `testmode` only tries them. Refused for a bad
        address (result 1) or when they could not be stored."""
        r = self._value("setNetworkConfiguration", pb.SetNetworkMessage(
            dhcp=settings.dhcp, ip=settings.ip, netmask=settings.netmask, gateway=settings.gateway,
            testmode=testmode))
        if r == 1:
            raise Refused(self._endpoint, "refused the network settings: bad address", 1)

    def apply_network(self) -> None:
        """Stores the settings in force (tried in test mode) and reboots."""
        if self._value("applyNetworkConfiguration") == 1:
            raise Refused(self._endpoint, "refused the network settings in force: bad address", 1)

    def set_hostname(self, name: str) -> None:
        """Stores and applies the hostname; refused while streaming or for a bad name."""
        self._checked(self._call("setHostname", pb.HostnameMessage(hostname=name)).value,
                      "the hostname %r (not a host name, or streaming)" % name)

    def calibration(self) -> Calibration:
        """The stored analog calibration."""
        r = self._call("getAnalogCalibration")
        return Calibration(r.dc_offset_a0, r.dc_offset_a1, r.slope_a0, r.slope_a1)

    def set_calibration(self, calibration: Calibration) -> None:
        """Stores a new calibration and reboots (it applies from the next start)."""
        c = calibration
        self._value("setAnalogCalibration", pb.AnalogCalibrationData(
            dc_offset_a0=c.dc_offset_a0, dc_offset_a1=c.dc_offset_a1, slope_a0=c.slope_a0, slope_a1=c.slope_a1))

    # ---- JSON-RPC: the operations only that interface has ----

    def sequence_control_data(self, slot: int) -> SequenceControlData:
        """What a slot holds (encoded bytes, memory commands, words of one run, data rate)."""
        r = self._rpc("getSequenceControlData", [slot])
        try:
            return SequenceControlData(int(r["NumberOfBytes"]), int(r["NumberOfPulses (low-level)"]),
                                       int(r["WholeTicks (low_level)"]), float(r["DataRate (GBit/s)"]))
        except (TypeError, KeyError, ValueError):
            raise ProtocolError(self._http, "malformed getSequenceControlData result %.200r" % (r,)) from None

    def program_serial(self, mac: str) -> None:
        """Writes the Ethernet address into the board's serial memory."""
        self._checked(self._rpc("programSerial", [mac]), "the serial %r" % mac)

    @property
    def _http(self) -> str:
        return "%s:%d" % (self.address, HTTP_PORT)

    def _http_request(self, method: str, path: str, body: bytes = b"") -> bytes:
        """One request with the instrument's address as Host and "Connection: close"; the body of
        a 200 answer. The whole answer is bounded in size and in time (the time-out)."""
        head = "%s %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n" % (method, path, self.address)
        if method == "POST":
            head += "Content-Type: application/json\r\nContent-Length: %d\r\n" % len(body)
        deadline = time.monotonic() + self.timeout
        data = bytearray()
        try:
            with socket.create_connection((self.address, HTTP_PORT), timeout=self.timeout) as link:
                link.sendall(head.encode() + b"\r\n" + body)
                while len(data) <= MAX_HTTP_HEADER + MAX_HTTP_BODY:
                    link.settimeout(max(deadline - time.monotonic(), 0.001))
                    piece = link.recv(65536)
                    if not piece:
                        break
                    data += piece
        except socket.timeout:
            raise Unreachable(self._http, "no whole answer to %s %s within %g s" % (method, path, self.timeout)) from None
        except OSError as e:
            raise Unreachable(self._http, "%s %s: %s" % (method, path, e.strerror or e)) from None
        if len(data) > MAX_HTTP_HEADER + MAX_HTTP_BODY:
            raise ProtocolError(self._http, "answer above %d bytes to %s" % (MAX_HTTP_BODY, path))
        end = data.find(b"\r\n\r\n", 0, MAX_HTTP_HEADER)
        fields = bytes(data[:end]).decode("latin-1").lower().split("\r\n") if end >= 0 else [""]
        status = fields[0].split(" ")
        if end < 0 or not status[0].startswith("http/") or len(status) < 2 or not status[1].isdigit():
            raise ProtocolError(self._http, "no HTTP answer to %s" % path)
        if int(status[1]) != 200:
            raise Refused(self._http, "HTTP %s for %s" % (status[1], path), int(status[1]))
        content = bytes(data[end + 4:])
        if "transfer-encoding: chunked" in fields:
            plain, at = bytearray(), 0
            while True:
                line = content.find(b"\r\n", at)
                try:
                    size = int(content[at:line].split(b";")[0], 16) if line >= 0 else -1
                except ValueError:
                    size = -1
                if size < 0 or line + 2 + size > len(content):
                    raise ProtocolError(self._http, "chunked answer to %s cut short" % path)
                if size == 0:
                    return bytes(plain)
                plain += content[line + 2:line + 2 + size]
                at = line + 4 + size
        lengths = [f.split(":", 1)[1].strip() for f in fields if f.startswith("content-length:")]
        if lengths:
            if not lengths[0].isdigit() or int(lengths[0]) > len(content):
                raise ProtocolError(self._http, "answer to %s cut short" % path)
            content = content[:int(lengths[0])]
        return content

    def _rpc(self, method: str, params: Any) -> Any:
        request = {"jsonrpc": "2.0", "id": 1, "method": method, "params": params}
        try:
            reply = json.loads(self._http_request("POST", "/json-rpc", json.dumps(request).encode()))
        except ValueError:
            raise ProtocolError(self._http, "the answer to %s is not JSON" % method) from None
        if not isinstance(reply, dict):
            raise ProtocolError(self._http, "the answer to %s is not a JSON object" % method)
        if "error" in reply:
            e = reply["error"] if isinstance(reply["error"], dict) else {}
            raise Refused(self._http, "refused %s: %s" % (method, e.get("message", reply["error"])), e.get("code"))
        return reply.get("result")

    # ---- pulse lists: binary protocol ----

    def stream(self, pulses: Any, runs: int = -1, final: Optional[State] = None, fraction: bool = False,
               progress: Optional[Progress] = None) -> None:
        """Plays a pulse list at once from slot 0, `runs` times (-1 endlessly), then shows `final`
        (digital, ao0, ao1; all 0 when None). `pulses` is a :data:`~tarvex.PULSE_DTYPE` array
        (sent from its memory as it is), anything :func:`~tarvex.as_pulses` takes, or a
        :class:`~tarvex.Timeline` (its final state is the default `final`). `fraction`: `final`'s
        analog values are fractions of full scale. `progress(sent, total)` is called with bytes
        sent as the list goes out."""
        pulses, final = self._list(pulses, final)
        self._send(_CMD_STREAM, pulses, runs, _state(final, fraction), 0, (0, 0, 0), progress)

    def upload(self, slot: int, pulses: Any, runs: int = 1, final: Optional[State] = None,
               next_action: NextAction = NextAction.STOP, when: When = When.AT_ONCE,
               on_no_data: OnNoData = OnNoData.STOP, fraction: bool = False,
               progress: Optional[Progress] = None) -> None:
        """Loads a slot (0 or 1) without starting it, with its chaining; see :meth:`stream`.
        Start it with :meth:`start`."""
        if slot not in (0, 1):
            raise ValueError("slot %r: the instrument has slots 0 and 1" % (slot,))
        pulses, final = self._list(pulses, final)
        self._send(_CMD_UPLOAD, pulses, runs, _state(final, fraction), slot,
                   (int(next_action), int(when), int(on_no_data)), progress)

    @staticmethod
    def _list(pulses: Any, final: Optional[State]) -> Tuple[np.ndarray, Optional[State]]:
        build = getattr(pulses, "build", None)
        if callable(build):
            if final is None:
                final = pulses.final_state()
            pulses = build()
        return as_pulses(pulses), final

    def _send(self, command: int, pulses: np.ndarray, runs: int, final: Tuple[int, int, int], slot: int,
              chaining: Tuple[int, int, int], progress: Optional[Progress]) -> int:
        what = "stream" if command == _CMD_STREAM else "upload"
        limit = MAX_STREAM_PULSES if command == _CMD_STREAM else MAX_UPLOAD_PULSES
        n = len(pulses)
        if not 0 < n <= limit:
            raise ValueError("%s of %d pulses: the instrument takes 1 to %d pulses" % (what, n, limit))
        where = "%s:%d" % (self.address, BINARY_PORT)
        tag = next(_tags) & 0xFFFFFFFF
        records = memoryview(pulses.view(np.uint8))
        head = _HEADER.pack(_MAGIC, tag, command, 0, _SEQUENCE.size + len(records), 0) + _SEQUENCE.pack(
            runs, n, final[1], final[2], final[0], slot, *chaining, 0)
        total = len(head) + len(records)
        try:
            link = socket.create_connection((self.address, BINARY_PORT), timeout=self.timeout)
        except OSError as e:
            raise Unreachable(where, "cannot connect: %s" % (e.strerror or e)) from None
        with link:
            link.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sent_all = True
            try:
                link.sendall(head)
                # As much as the socket takes at a time: the time-out bounds a stall, not the whole list.
                at = 0
                while at < len(records):
                    at += link.send(records[at:])
                    if progress:
                        progress(len(head) + at, total)
            except socket.timeout:
                raise Unreachable(where, "the %s stalled: nothing taken for %g s" % (what, self.timeout)) from None
            except OSError:
                sent_all = False  # it may have answered (and closed) before taking every byte
            answer = self._receive(link, _HEADER.size, where, what, sent_all)
            magic, a_tag, status, a_command, length, _ = _HEADER.unpack(answer)
            if magic != _MAGIC or a_tag != tag or a_command != command or length not in (0, 32):
                raise ProtocolError(where, "malformed answer frame to the %s" % what)
            result = 0
            if length == 32:
                result = struct.unpack_from("<i", self._receive(link, 32, where, what, True))[0]
        if status != 0:
            raise Refused(where, "refused the %s: %s (status %d)" % (what, _STATUS_WORDS.get(status, "unknown status"),
                                                                     status), status)
        if command == _CMD_UPLOAD and length != 32:
            raise ProtocolError(where, "answered the upload without its result")
        if result < 0:
            raise Refused(where, "refused the upload to slot %d (result %d)" % (slot, result), result)
        return result

    def _receive(self, link: socket.socket, size: int, where: str, what: str, sent_all: bool) -> bytes:
        deadline = time.monotonic() + self.timeout
        data = b""
        try:
            while len(data) < size:
                link.settimeout(max(deadline - time.monotonic(), 0.001))
                piece = link.recv(size - len(data))
                if not piece:
                    break
                data += piece
        except socket.timeout:
            raise Unreachable(where, "no whole answer to the %s within %g s" % (what, self.timeout)) from None
        except OSError:
            pass
        if len(data) < size:
            raise Unreachable(where, "closed the connection without answering the %s%s"
                              % (what, "" if sent_all else " (it stopped taking the pulses)"))
        return data

    # ---- readback: HTTP ----

    def readback(self, slot: int = 0, fraction: bool = False,
                 calibration: Optional[Calibration] = None) -> np.ndarray:
        """What a slot plays, as a pulse list: the slot's segments read page by page, their DAC
        codes turned into the analog values that give them under the instrument's calibration
        (or `calibration`). With `fraction`, a :data:`~tarvex.FRACTION_DTYPE` array."""
        if calibration is None:
            calibration = self.calibration()
        pages, start = [], 0
        while True:
            path = "/api/slot/%d/segments?from=%d&max=%d" % (slot, start, PAGE)
            try:
                reply = json.loads(self._http_request("GET", path))
            except ValueError:
                raise ProtocolError(self._http, "malformed readback page: not JSON") from None
            segments, more = self._page(reply, slot, start)
            pages.append(segments)
            start += len(segments)
            if start > MAX_SEGMENTS:
                raise ProtocolError(self._http, "more than %d segments in slot %d" % (MAX_SEGMENTS, slot))
            if not more:
                break
        played = from_segments(np.concatenate(pages), calibration)
        return to_fraction(played) if fraction else played

    def _page(self, reply: Any, slot: int, start: int) -> Tuple[np.ndarray, bool]:
        def malformed(what: str) -> TarvexError:
            return ProtocolError(self._http, "malformed readback page: " + what)

        if not isinstance(reply, dict):
            raise malformed("not a JSON object")
        if isinstance(reply.get("error"), str) and reply["error"]:
            raise Refused(self._http, "refused the readback of slot %d: %s" % (slot, reply["error"]))
        segments, more = reply.get("segments"), reply.get("more")
        if not isinstance(segments, list) or not isinstance(more, bool):
            raise malformed('"segments" and "more" expected')
        if reply.get("from") != start or isinstance(reply.get("from"), bool):
            raise malformed('"from" is not %d' % start)
        if len(segments) > PAGE or (more and not segments):
            raise malformed("%d segments" % len(segments))
        try:
            rows = np.array(segments) if segments else np.zeros((0, 4), dtype=np.int64)
        except (ValueError, OverflowError):
            rows = np.zeros(0)
        if (rows.ndim != 2 or rows.shape[1] != 4 or rows.dtype.kind not in "iu" or np.any(rows < 0)
                or np.any(rows[:, 1] > 255) or np.any(rows[:, 2:] > 0x3FFF)):
            raise malformed("segments are not [ticks, digital, code0, code1] rows")
        return rows.astype(np.uint64), more


def connect(address: str, timeout: float = 10.0) -> Instrument:
    """The instrument at `address` (an address, a host name, or a hostname or serial that answers
    discovery)."""
    return Instrument(address, timeout)


__all__ = ["Instrument", "connect", "TriggerStart", "Rearm", "ClockSource", "NextAction", "When", "OnNoData",
           "PlayState", "StreamingState", "SupplyState", "NetworkSettings", "SequenceControlData", "State",
           "Progress"]
