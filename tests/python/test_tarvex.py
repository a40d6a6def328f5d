"""The package against the real pulserd and beacond (sim build) in a network namespace."""
import contextlib
import dataclasses
import json
import os
import socket
import struct
import threading
import time

import numpy as np
import pytest

import tarvex
from tarvex import Timeline, TimelineError, ns, us
from tarvex.pulselist import coefficients

SOURCE = os.environ.get("TARVEX_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def test_discovery(server):
    every = tarvex.discover(timeout=1.0)  # broadcast and multicast
    direct = tarvex.discover(timeout=0.5, broadcast=False, multicast=False, addresses=["127.0.0.1:12345"])
    for found in (every, direct):
        assert [(i.address, i.serial, i.firmware) for i in found] == [("127.0.0.1", "02:00:00:00:00:01", "1.7.0")]
    assert direct.failures == [] and all(f.startswith("broadcast: ") for f in every.failures)  # no route here
    # A name that does not resolve is looked for among the serials and hostnames that answer.
    with tarvex.Instrument("02:00:00:00:00:01", discovery_timeout=0.5) as by_serial:
        assert by_serial.address == "127.0.0.1" and by_serial.serial() == "02:00:00:00:00:01"
    with pytest.raises(tarvex.Unreachable, match="no-such-instrument"):
        tarvex.Instrument("no-such-instrument", discovery_timeout=0.3)


def test_every_control_operation(server, lab):
    T = tarvex
    assert lab.firmware_version() == "1.7.0"
    assert lab.fpga_id().lower().lstrip("0") == "123456789abcdef"
    assert lab.hardware_version() and "Temperature" in lab.temperature()
    assert lab.supply().v12 > 0 and isinstance(lab.status_register(), int)
    lab.set_trigger(T.TriggerStart.SOFTWARE, T.Rearm.MANUAL)
    assert (lab.trigger_start(), lab.trigger_rearm()) == (T.TriggerStart.SOFTWARE, T.Rearm.MANUAL)
    lab.select_clock(T.ClockSource.EXT_125MHZ)
    assert lab.clock() == T.ClockSource.EXT_125MHZ
    lab.set_clock_reference(10.0)
    with pytest.raises(T.Refused, match=r"127\.0\.0\.1:50051: .*0\.5 MHz") as refused:
        lab.set_clock_reference(0.5)
    assert refused.value.code == -1 and refused.value.instrument == "127.0.0.1:50051"
    lab.shift_clock_phase(3)
    lab.set_square_wave(0x05)
    lab.set_debug_register(1, 1)
    lab.reset()
    assert (lab.trigger_start(), lab.clock()) == (T.TriggerStart.IMMEDIATE, T.ClockSource.INTERNAL)
    lab.constant(digital=0x81, ao0=0.5, ao1=-1.0, fraction=True)
    lab.force_final()
    with pytest.raises(T.Refused, match="start of slot 0"):
        lab.start(0)
    assert lab.is_ready_for_data(1) and not lab.has_sequence() and not lab.underflow()

    # Upload, chain and start; software trigger; manual rearm.
    lab.set_trigger(T.TriggerStart.SOFTWARE, T.Rearm.MANUAL)
    lab.upload(1, tarvex.pulses([800, 800], [1, 0]), runs=2, next_action=T.NextAction.STOP)
    assert lab.has_sequence() and lab.sequence_control_data(1).whole_ticks == 200
    lab.start(1)
    assert lab.streaming_state().state == T.PlayState.LOADED
    lab.start_now()
    for _ in range(50):
        if lab.has_finished():
            break
        time.sleep(0.05)
    assert lab.has_finished() and not lab.is_streaming() and lab.rearm()

    assert lab.network(True).ip == "192.168.1.100"
    lab.set_network(T.NetworkSettings(False, "10.1.2.3", "255.255.0.0", "10.1.0.1"), testmode=True)
    assert lab.network(False).ip == "10.1.2.3"
    with pytest.raises(T.Refused, match="bad address"):
        lab.set_network(T.NetworkSettings(False, "10.1.2", "255.255.0.0", "10.1.0.1"), testmode=True)
    lab.set_hostname("lab-3")
    assert lab.hostname() == "lab-3"
    with pytest.raises(T.Refused, match="not a host name"):
        lab.set_hostname("bad name!")
    lab.program_serial("02:00:00:00:00:01")


def played(lab, timeline, slot=0):
    """Streams (slot 0) or uploads the timeline and reads the slot back."""
    sent = []
    if slot == 0:
        lab.stream(timeline, runs=1, progress=lambda done, total: sent.append((done, total)))
    else:
        lab.upload(slot, timeline, progress=lambda done, total: sent.append((done, total)))
    assert sent[-1][0] == sent[-1][1] == 64 + 9 * len(timeline.build())
    return lab.readback(slot)


def test_timeline_streamed_and_read_back(server, lab):
    tl = Timeline({"laser": "d0", "camera": "d1", "ramp": "ao0"}).channel("bias", "ao1", 400)
    tl.set("camera", 0, 1).set("camera", 40 * us, 0)
    tl.repeat(Timeline({"laser": "d0"}).pulse("laser", 0, 200 * ns), at=1 * us, period=1 * us, count=30)
    tl.ramp("ramp", 2 * us, 10 * us, -8000, 8000, step=0.8 * us)
    tl.step("bias", 12 * us, -1200).pulse("bias", 20 * us, 1.6 * us, 3200)
    built = tl.build()
    assert built["ticks"].sum() == 40000 and tl.final_state() == (0, 8000, -1200)
    # Times on whole 8 ns words and values that are multiples of 4 play exactly.
    np.testing.assert_array_equal(played(lab, tl), built)
    np.testing.assert_array_equal(played(lab, tl, slot=1), built)
    back = lab.readback(1, fraction=True)
    assert back.dtype == tarvex.FRACTION_DTYPE and back["ao1"][0] == pytest.approx(400 / 32767)
    # Many segments: the readback goes page by page.
    many = tarvex.pulses(np.full(40000, 8), np.arange(40000) % 2, (np.arange(40000) % 100) * 4)
    lab.stream(many, runs=1)
    np.testing.assert_array_equal(lab.readback(0), many)


def test_build_matches_a_dense_reference():
    """Random levels and pulses on three channels: the built list, played out nanosecond by
    nanosecond, is what each channel was meant to show, and no two neighbours are equal."""
    rng = np.random.default_rng(7)
    for _ in range(30):
        tl = Timeline({"a": "d0", "b": "d5", "x": "ao1"}, {"b": 1, "x": -40})
        want = {"a": np.zeros(500, int), "b": np.ones(500, int), "x": np.full(500, -40)}
        for name, row in want.items():
            cuts = np.sort(rng.choice(np.arange(1, 500), 10, replace=False))
            for start, stop in zip(cuts[:-1], cuts[1:]):
                value = int(rng.integers(-5, 6)) if name == "x" else int(rng.integers(2))
                if rng.integers(2):
                    tl.set(name, int(start), value)
                    row[start:] = value
                else:
                    tl.pulse(name, int(start), int(stop - start), value)
                    row[start:stop] = value
        built = tl.build(500)
        played = np.repeat(built, built["ticks"])
        assert np.array_equal(played["digital"], want["a"] | (want["b"] << 5))
        assert np.array_equal(played["ao1"], want["x"]) and not np.any(played["ao0"])
        assert not np.any((built[1:][["digital", "ao0", "ao1"]] == built[:-1][["digital", "ao0", "ao1"]]))


@pytest.mark.parametrize("events, channel, time_ns", [
    (lambda t: t.pulse("laser", 1.5 * ns, 10), "laser", 1.5),
    (lambda t: t.pulse("laser", [0, 100], 150), "laser", 100),
    (lambda t: t.pulse("laser", 100, 0), "laser", 100),
    (lambda t: t.set("camera", 5 * us, 1).set("camera", 5 * us, 0), "camera", 5000),
    (lambda t: t.pulse("camera", 1 * us, 1 * us).set("camera", 1.5 * us, 1), "camera", 1500),
    (lambda t: t.ramp("ramp", 0, 1 * us, 0, 100, 100).step("ramp", 300, 7), "ramp", 300),
    (lambda t: t.ramp("ramp", 0, 1 * us, 0, 100, 100).pulse("ramp", 900, 200, 5), "ramp", 900),
    (lambda t: t.set("laser", 7, 2), "laser", 7),
    (lambda t: t.set("ramp", 7, 40000), "ramp", 7),
    (lambda t: t.set("laser", -1, 1), "laser", -1),
    (lambda t: t.repeat(Timeline({"laser": "d0"}).pulse("laser", 0, 600), 0, 500, 3), "laser", 500),
])
def test_bad_timelines_refused(events, channel, time_ns):
    tl = Timeline({"laser": "d0", "camera": "d1", "ramp": "ao0"})
    with pytest.raises(TimelineError) as refused:
        events(tl)
        tl.build()
    assert (refused.value.channel, refused.value.time_ns) == (channel, time_ns)
    assert "%r at %s ns" % (channel, refused.value.time_ns) in str(refused.value).replace(".0 ns", " ns")


def test_setup_file(tmp_path):
    path = tmp_path / "tarvex-setup.json"
    Timeline({"laser": "d0", "camera ramp": "ao1"}, {"camera ramp": -4}).save_setup(str(path))
    document = json.loads(path.read_text())
    assert document == {"format": "tarvex-setup", "version": 1, "channels": [
        {"name": "laser", "output": "d0", "default": 0}, {"name": "camera ramp", "output": "ao1", "default": -4}]}
    document["extra"] = True
    path.write_text(json.dumps(document))
    assert Timeline.load_setup(str(path)).channels == {"laser": ("d0", 0), "camera ramp": ("ao1", -4)}
    for change, message in [({"format": "other"}, "not a setup file"), ({"version": 2}, "version 2"),
                            ({"channels": [{"name": "a/b", "output": "d0"}]}, "channel name"),
                            ({"channels": [{"name": "a", "output": "d8"}]}, "output 'd8'"),
                            ({"channels": [{"name": "a", "output": "d1", "default": 2}]}, "0 or 1"),
                            ({"channels": [{"name": "a", "output": "d1"}, {"name": "a", "output": "d2"}]}, "twice")]:
        path.write_text(json.dumps(dict(document, **change)))
        with pytest.raises(ValueError, match="setup file .*" + message):
            Timeline.load_setup(str(path))


def restarted(server):
    """Waits for the emulated reboot: the restarted server shows the trigger mode of a fresh start."""
    deadline = time.time() + 30
    while time.time() < deadline:
        time.sleep(0.2)
        try:
            with tarvex.Instrument("127.0.0.1", timeout=1) as fresh:
                if fresh.trigger_start() == tarvex.TriggerStart.IMMEDIATE:
                    return
        except tarvex.TarvexError:
            pass
    pytest.fail("the instrument did not restart")


def test_conversion_against_the_instrument_and_reboots(server, lab):
    """value_to_code and code_to_value as the instrument converts, under a non-neutral calibration
    (stored, then in force after the reboot it makes)."""
    calibration = tarvex.Calibration(0.01, -0.02, 1.1, 0.93)
    lab.set_trigger(tarvex.TriggerStart.SOFTWARE)
    lab.set_calibration(calibration)
    restarted(server)
    assert dataclasses.astuple(lab.calibration()) == pytest.approx(dataclasses.astuple(calibration), abs=1e-4)
    values = np.array([-32768, -20001, -4000, -3, 999, 16383, 32767], dtype=np.int16)
    lab.stream(tarvex.pulses(np.full(values.size, 16), 0, values, values[::-1]), runs=1)
    back = lab.readback(0)
    cal = lab.calibration()
    for out, sent in (("ao0", values), ("ao1", values[::-1])):
        offset, slope = cal.output(int(out[2]))
        codes = tarvex.value_to_code(sent, offset, slope)
        assert len(set(codes)) == len(codes)
        np.testing.assert_array_equal(tarvex.value_to_code(back[out], offset, slope), codes)
    lab.set_network(tarvex.NetworkSettings(False, "10.1.2.4", "255.255.0.0", "10.1.0.1"), testmode=True)
    for restart in (lab.apply_network, lab.reboot):
        lab.set_trigger(tarvex.TriggerStart.SOFTWARE)
        restart()
        restarted(server)
    assert lab.network(True).ip == "10.1.2.4"  # tried in test mode, then stored


def test_plot_names_the_channels():
    pytest.importorskip("matplotlib").use("Agg")
    tl = Timeline({"laser": "d0", "camera": "d3", "ramp": "ao1"}).pulse("laser", 1 * us, 2 * us)
    fig = tarvex.plot(tl.ramp("ramp", 0, 2 * us, 0, 0.5, 500 * ns, fraction=True), unit="ns")
    digital, analog = fig.axes
    assert [t.get_text() for t in digital.get_yticklabels()] == ["laser", "camera"]
    assert analog.get_legend_handles_labels()[1] == ["ramp"] and analog.get_xlabel() == "time (ns)"
    assert analog.get_xlim()[1] >= 2000


def frame(status=0, length=0, tag=None):
    """A binary-protocol answer to the request with the given tag (None: the request's own)."""
    return lambda request_tag: struct.pack("<4sIIIQQ", b"KWQZ", request_tag if tag is None else tag, status, 0,
                                           length, 0)


@pytest.mark.parametrize("port, answer, stall, error, message", [
    ("HTTP_PORT", b"HTTP/1.1 200 OK\r\n\r\n" + b"x" * (9 << 20), False, tarvex.ProtocolError, "answer above"),
    ("HTTP_PORT", b"garbage\r\n\r\n{}", False, tarvex.ProtocolError, "no HTTP answer"),
    ("HTTP_PORT", b"HTTP/1.1 200 OK\r\nContent-Length: 5", True, tarvex.Unreachable, "no whole answer .* 1 s"),
    ("HTTP_PORT", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n{}", False, tarvex.ProtocolError,
     "cut short"),
    ("HTTP_PORT", b"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n{}", False, tarvex.ProtocolError, "cut short"),
    ("HTTP_PORT", b'HTTP/1.1 200 OK\r\n\r\n{"from":0,"more":false,"segments":[[1,2,3]]}', False,
     tarvex.ProtocolError, "rows"),
    ("HTTP_PORT", b'HTTP/1.1 200 OK\r\n\r\n{"from":0,"more":true,"segments":[]}', False, tarvex.ProtocolError,
     "0 segments"),
    ("HTTP_PORT", b"HTTP/1.1 404 Not Found\r\n\r\n", False, tarvex.Refused, "HTTP 404"),
    ("BINARY_PORT", frame(tag=99), False, tarvex.ProtocolError, "malformed answer frame"),
    ("BINARY_PORT", frame(status=5), False, tarvex.Refused, "too many pulses .status 5"),
    ("BINARY_PORT", frame(length=32), True, tarvex.Unreachable, "no whole answer to the stream within 1 s"),
    ("BINARY_PORT", lambda tag: b"", False, tarvex.Unreachable, "closed the connection without answering"),
], ids=lambda v: v if isinstance(v, str) and len(v) < 40 else "")
def test_hostile_answers(monkeypatch, port, answer, stall, error, message):
    """Answers that break the protocol, are too large or never end are refused in bounded time."""
    listener = socket.create_server(("127.0.0.1", 0))
    monkeypatch.setattr(tarvex.instrument, port, listener.getsockname()[1])

    def serve():
        link, _ = listener.accept()
        with link, contextlib.suppress(OSError):
            request = b""  # read whole, so that closing does not reset the connection
            while len(request) < 82 if port == "BINARY_PORT" else b"\r\n\r\n" not in request:
                request += link.recv(4096)
            link.sendall(answer if isinstance(answer, bytes) else answer(struct.unpack_from("<I", request, 4)[0]))
            time.sleep(1.5 if stall else 0)
    thread = threading.Thread(target=serve)
    thread.start()
    with tarvex.Instrument("127.0.0.1", timeout=1) as lab, pytest.raises(error, match=message):
        if port == "HTTP_PORT":
            lab.readback(0, calibration=tarvex.NEUTRAL)
        else:
            lab.stream(tarvex.pulses([8, 8]))
    thread.join()
    listener.close()


def test_conversion_vectors():
    """The shared vectors of the one conversion between analog values and DAC codes."""
    path = os.path.join(SOURCE, "tests", "data", "values.json")
    if not os.path.exists(path):
        pytest.skip("tests/data/values.json is not in this tree")
    with open(path) as f:
        vectors = json.load(f)
    for name, c in vectors["calibrations"].items():
        assert coefficients(c["dc_offset"], c["slope"]) == (c["gain"], c["offset"]), name
    for cases, convert, given, wanted in (("to_code", tarvex.value_to_code, "value", "code"),
                                          ("to_value", tarvex.code_to_value, "code", "value")):
        for case in vectors[cases]:
            c = vectors["calibrations"][case["calibration"]]
            assert convert([case[given]], c["dc_offset"], c["slope"])[0] == case[wanted], (cases, case)
