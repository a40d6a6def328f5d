#!/usr/bin/python3
"""A second, independent client stack for the gRPC service: Debian's Python gRPC.

Messages are generated from proto/tarvex.proto with `protoc --python_out` into a temporary folder;
calls go through the channel's generic unary calls ("/tarvex.Tarvex/<method>"). The real pulserd
(sim build) runs in a fresh sandbox root; what the outputs play is read back through the
simulator's control channel.

Usage: grpc_client_test.py --pulserd PATH --proto PATH
"""
import argparse
import importlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import grpc

ARGS = None
CONTROL = 0x43C00000
CONST_ANALOG = CONTROL + 0x0C


class Instrument:
    """pulserd in a temporary root, its output in a log file."""

    def __init__(self, pulserd):
        self.root = tempfile.mkdtemp(prefix="tarvex-py-")
        self.log_path = os.path.join(self.root, "pulserd.log")
        self.log = open(self.log_path, "wb")
        env = dict(os.environ, TARVEX_ROOT=self.root)
        self.proc = subprocess.Popen([os.path.abspath(pulserd)], cwd=self.root, env=env, stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.time() + 30
        while "Server listening on 0.0.0.0:50051" not in self.output():
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("pulserd did not start:\n" + self.output())
            time.sleep(0.05)
        self.control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.control.connect(os.path.join(self.root, "sim", "control.sock"))
        self.control_in = self.control.makefile("rb")

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def sim(self, **request):
        self.control.sendall(json.dumps(request).encode() + b"\n")
        reply = json.loads(self.control_in.readline())
        if not reply.get("ok"):
            raise RuntimeError("control request %r failed: %r" % (request, reply))
        return reply

    def close(self):
        self.control.close()
        self.proc.kill()
        self.proc.wait()
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)


class PythonClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gen = tempfile.mkdtemp(prefix="tarvex-pb2-")
        proto = os.path.abspath(ARGS.proto)
        subprocess.run(["protoc", "--proto_path=" + os.path.dirname(proto), "--python_out=" + cls.gen, proto],
                       check=True)
        sys.path.insert(0, cls.gen)
        cls.pb = importlib.import_module("tarvex_pb2")
        cls.inst = Instrument(ARGS.pulserd)
        options = [("grpc.max_send_message_length", -1), ("grpc.max_receive_message_length", -1)]
        cls.channel = grpc.insecure_channel("127.0.0.1:50051", options=options)

    @classmethod
    def tearDownClass(cls):
        cls.channel.close()
        cls.inst.close()
        shutil.rmtree(cls.gen, ignore_errors=True)

    def call(self, method, request, reply_type):
        rpc = self.channel.unary_unary("/tarvex.Tarvex/" + method, request_serializer=request.SerializeToString,
                                       response_deserializer=reply_type.FromString)
        return rpc(request, timeout=120)

    def test_stream_of_100000_pulses_plays_as_sent(self):
        pb = self.pb
        analog = [(-32768, 32767), (-25536, 0), (0, -1), (1000, -1000), (32767, -32768)]
        # The device's own conversion of each analog pair: the constant state word it writes.
        codes = {}
        for pair in analog:
            self.call("constant", pb.PulseMessage(ao0=pair[0], ao1=pair[1]), pb.TarvexReply)
            word = self.inst.sim(cmd="peek", addr=CONST_ANALOG)["value"]
            codes[pair] = (word & 0xFFFF, word >> 16)
        pulses = []
        for i in range(100000):
            ao0, ao1 = analog[i % len(analog)]
            pulses.append(pb.PulseMessage(ticks=8 * (1 + i % 4), digi=(i * 7) & 0x1FF, ao0=ao0, ao1=ao1))
        request = pb.SequenceMessage(pulse=pulses, n_runs=3,
                                     final=pb.PulseMessage(digi=0x1A5, ao0=40000))
        self.assertEqual(self.call("stream", request, pb.TarvexReply).value, 0)
        self.assertIn("gRPC call: len: 100000, n_runs: 3, final: 0|165|-25536|0\n", self.inst.output())
        played = self.inst.sim(cmd="segments", slot=0, max=100001)
        segments = played["segments"]
        self.assertEqual(len(segments), 100000)
        self.assertEqual(played["whole_ticks"], sum(p.ticks // 8 for p in pulses))
        for i, (p, seg) in enumerate(zip(pulses, segments)):
            want = [p.ticks, p.digi & 0xFF, codes[(p.ao0, p.ao1)][0], codes[(p.ao0, p.ao1)][1]]
            self.assertEqual(seg, want, "segment %d" % i)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--pulserd", required=True)
    parser.add_argument("--proto", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
