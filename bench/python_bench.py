#!/usr/bin/python3
"""python_bench.py BUILD_DIR: the Python package's two speed targets, run in a network namespace
of its own against the real pulserd (sim build) on loopback.

- Streaming a 2,000,000-pulse numpy array (8 to 2000 ticks, changing outputs) with
  Instrument.stream, against the C++ client library's Client::stream of the same pulses
  (build/bin/stream_once, file read before its clock starts), alternating, one warm-up round and
  then ROUNDS; medians and their ratio.
- Building a timeline of 1,000,000 events (adding them and build()), with np.sort of 2,000,000
  int64 timed in the same rounds as a measure of the machine's load.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROUNDS = 9
PULSES = 2_000_000
sys.path.insert(0, os.path.join(REPO, "tests"))
sys.path.insert(0, os.path.join(REPO, "tests", "python"))

if __name__ == "__main__" and not os.environ.get("TARVEX_BENCH_READY"):
    import examples_test  # noqa: E402  (its package install and namespace set-up)
    examples_test.own_namespace()
    scratch = tempfile.mkdtemp(prefix="tarvex-bench-")
    os.symlink(os.path.join(REPO, "proto"), os.path.join(scratch, "proto"))
    python = examples_test.install_package(scratch)
    os.environ["TARVEX_BENCH_READY"] = scratch
    os.execv(python, [python] + sys.argv)

import numpy as np  # noqa: E402

import conftest  # noqa: E402  (starts and waits for pulserd)
import tarvex  # noqa: E402
from tarvex import Timeline, ns, us  # noqa: E402


def timeline_of(events: int) -> Timeline:
    """Pulses on two digital channels and analog steps: `events` events in all."""
    k = events // 5
    tl = Timeline({"laser": "d0", "camera": "d1", "ramp": "ao0"})
    tl.pulse("laser", np.arange(2 * k) * 1 * us, 200 * ns)
    tl.pulse("camera", np.arange(2 * k) * 1 * us + 300 * ns, 100 * ns)
    tl.step("ramp", np.arange(events - 4 * k) * 2 * us + 500 * ns, (np.arange(events - 4 * k) % 200) * 100)
    return tl


def main() -> int:
    build = os.path.abspath(sys.argv[1])
    scratch = os.environ["TARVEX_BENCH_READY"]
    rng = np.random.default_rng(1)
    pulses = tarvex.pulses(rng.integers(8, 2001, PULSES), rng.integers(0, 256, PULSES),
                           rng.integers(-32768, 32768, PULSES), rng.integers(-32768, 32768, PULSES))
    path = os.path.join(scratch, "pulses.bin")
    pulses.tofile(path)
    root = os.path.join(scratch, "root")
    os.mkdir(root)
    server = subprocess.Popen([os.path.join(build, "bin", "pulserd")], cwd=root, env=dict(os.environ, TARVEX_ROOT=root),
                              stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    times = {"cpp": [], "python": [], "timeline": [], "timeline_cpu": [], "sort": []}
    try:
        conftest.wait_ready(server)
        lab = tarvex.Instrument("127.0.0.1", timeout=60)
        for r in range(ROUNDS + 1):
            cpp = float(subprocess.run([os.path.join(build, "bin", "stream_once"), "127.0.0.1", path, "-1"],
                                       check=True, capture_output=True, text=True).stdout)
            start = time.perf_counter()
            lab.stream(pulses, runs=-1)
            python = time.perf_counter() - start
            start, cpu = time.perf_counter(), time.process_time()
            built = timeline_of(1_000_000).build()
            timeline, timeline_cpu = time.perf_counter() - start, time.process_time() - cpu
            start = time.perf_counter()
            np.sort(rng.integers(0, 1 << 40, 2 * 10 ** 6))
            sort = time.perf_counter() - start
            if r:
                for name, value in (("cpp", cpp), ("python", python), ("timeline", timeline),
                                    ("timeline_cpu", timeline_cpu), ("sort", sort)):
                    times[name].append(value)
        lab.force_final()
        lab.close()
    finally:
        server.kill()
        server.wait()
    m = {name: statistics.median(v) for name, v in times.items()}
    print("load average %.1f; medians of %d rounds" % (os.getloadavg()[0], ROUNDS))
    print("stream 2,000,000 pulses: C++ Client::stream %.1f ms, Instrument.stream %.1f ms, ratio %.2f"
          % (m["cpp"] * 1e3, m["python"] * 1e3, m["python"] / m["cpp"]))
    print("timeline of 1,000,000 events (%d pulses built): %.1f ms (CPU %.1f ms); np.sort of 2,000,000 int64: "
          "%.1f ms" % (len(built), m["timeline"] * 1e3, m["timeline_cpu"] * 1e3, m["sort"] * 1e3))
    return 0


if __name__ == "__main__":
    sys.exit(main())
