"""A fresh pulserd (sim build, with its beacond child) in a scratch root for the whole suite."""
import glob
import os
import signal
import socket
import subprocess
import time

import pytest

import tarvex


def ready() -> bool:
    try:
        for port in (50051, 8050, 21328):
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_ready(proc: subprocess.Popen) -> None:
    deadline = time.time() + 30
    while not ready():
        assert proc.poll() is None and time.time() < deadline, "pulserd did not start"
        time.sleep(0.1)


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    if os.environ.get("TARVEX_NETNS") != "1":
        pytest.skip("needs a network namespace of its own (fixed ports, multicast)")
    root = tmp_path_factory.mktemp("root")
    env = dict(os.environ, TARVEX_ROOT=str(root), TARVEX_SIM_DISCOVERY="1")
    with open(root / "pulserd.log", "wb") as log:
        proc = subprocess.Popen([os.environ["TARVEX_PULSERD"]], cwd=root, env=env, stdout=log,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    wait_ready(proc)
    yield proc
    children = " ".join(open(f).read() for f in glob.glob("/proc/%d/task/*/children" % proc.pid)).split()
    for child in children:
        os.kill(int(child), signal.SIGKILL)
    proc.kill()
    proc.wait()


@pytest.fixture
def lab(server):
    with tarvex.Instrument("127.0.0.1") as instrument:
        instrument.reset()
        yield instrument
