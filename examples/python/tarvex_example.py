#!/usr/bin/python3
"""Finds an instrument, streams a sequence to it over gRPC and reads back what its slot holds.

Needs Debian's python3-grpcio and python3-protobuf, and protoc with the gRPC plugin for Python
(protobuf-compiler, protobuf-compiler-grpc): the client classes are generated from
proto/tarvex.proto when the example starts.

    /usr/bin/python3 examples/python/tarvex_example.py              # the first instrument found
    /usr/bin/python3 examples/python/tarvex_example.py 192.168.1.100

Exits non-zero when what the slot holds is not what was streamed.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import urllib.request

import grpc

PROTO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "proto", "tarvex.proto")


def generated_modules():
    out = tempfile.mkdtemp(prefix="tarvex-pb2-")
    subprocess.run(["protoc", "--proto_path=" + os.path.dirname(PROTO), "--python_out=" + out,
                    "--grpc_python_out=" + out, "--plugin=protoc-gen-grpc_python=/usr/bin/grpc_python_plugin",
                    PROTO], check=True)
    sys.path.insert(0, out)
    import tarvex_pb2
    import tarvex_pb2_grpc
    return tarvex_pb2, tarvex_pb2_grpc


def discover(timeout=1.0):
    """(address, identity) of every instrument that answers within `timeout` seconds."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(timeout)
    s.sendto(b"TX-DISCOVERY", ("239.255.255.82", 12345))
    found = []
    try:
        while True:
            data, (address, _) = s.recvfrom(2048)
            if data.startswith(b"TX-DISCOVERY-REPLY"):
                found.append((address, json.loads(data[len(b"TX-DISCOVERY-REPLY"):])))
    except socket.timeout:
        return found


def slot_segments(host, slot):
    """What the outputs play from a slot: [ticks, digital byte, DAC code 0, DAC code 1] pieces."""
    segments, start = [], 0
    while True:
        url = "http://%s:8050/api/slot/%d/segments?from=%d&max=1000" % (host, slot, start)
        page = json.load(urllib.request.urlopen(url, timeout=10))
        if page["error"]:
            raise RuntimeError(page["error"])
        segments += page["segments"]
        start += len(page["segments"])
        if not page["more"]:
            return segments


def main():
    if len(sys.argv) > 1:
        host = sys.argv[1]
    else:
        found = discover()
        if not found:
            sys.exit("no instrument answered")
        host, identity = found[0]
        print("found %s at %s: %s" % (identity["hostname"], host, identity))
    pb, pb_grpc = generated_modules()
    options = [("grpc.max_send_message_length", -1), ("grpc.max_receive_message_length", -1)]
    tarvex = pb_grpc.TarvexStub(grpc.insecure_channel(host + ":50051", options=options))
    print("firmware", tarvex.getFirmwareVersion(pb.VoidMessage()).string_value)

    # A 1 MHz clock on output 0 for 10 us while analog output 0 climbs in steps of 2000, then
    # 3 us with output 7 high; played endlessly, all outputs low once stopped.
    sequence = pb.SequenceMessage(n_runs=-1, final=pb.PulseMessage())
    for i in range(10):
        sequence.pulse.add(ticks=500, digi=0b00000001, ao0=2000 * i)
        sequence.pulse.add(ticks=500, digi=0b00000000, ao0=2000 * i)
    sequence.pulse.add(ticks=3000, digi=0b10000000)
    if tarvex.stream(sequence).value != 0:
        sys.exit("stream failed")
    print("streaming:", tarvex.isStreaming(pb.VoidMessage()).value == 1)

    # Neutral calibration: code = 8192 - value / 4. Equal neighbouring pieces play as one.
    held = slot_segments(host, 0)
    for ticks, digital, code0, code1 in held[:4]:
        print("%5d ns  outputs %s  DAC codes %5d %5d" % (ticks, format(digital, "08b"), code0, code1))
    print("... %d segments, %d ns" % (len(held), sum(s[0] for s in held)))
    expected = []
    for p in sequence.pulse:
        expected.append([p.ticks, p.digi, 8192 - p.ao0 // 4, 8192 - p.ao1 // 4])
    tarvex.forceFinal(pb.VoidMessage())
    if held != expected:
        sys.exit("the slot holds %s, not %s" % (held, expected))
    print("the slot holds the sequence")


if __name__ == "__main__":
    main()
