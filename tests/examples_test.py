#!/usr/bin/python3
"""examples_test.py PULSERD: runs every example of the client reference against the sim pulserd:
the fenced blocks of docs/*.md whose info string carries the word "example" and the scripts in
examples/. When the next fenced block is marked "output", the example must print that text ("..."
stands for any text). Each document and each script gets a fresh pulserd (with its discovery
child); a document's blocks run in order against it, in a scratch folder with links to proto/,
examples/ and docs/. All runs in a network namespace of its own, multicast routed on the loopback.
"""
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MARK = "TARVEX_EXAMPLES_IN_NETNS"
RUNNERS = {"sh": ["bash", "-euo", "pipefail"], "python": ["/usr/bin/python3"]}
FENCE = re.compile(r"^(```+)\s*(\S*)(.*)$")

def own_namespace():
    if os.environ.get(MARK):
        return
    if os.getuid() != 0 or subprocess.run(["unshare", "-n", "true"]).returncode != 0:
        sys.exit(print("examples: no network namespace can be made here (needs root): skipped") or 77)
    os.environ[MARK] = "1"
    setup = 'ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo && exec "$0" "$@"'
    os.execvp("unshare", ["unshare", "-n", "--", "sh", "-c", setup, sys.executable] + sys.argv)

def doc_examples(path, scratch):
    """(where, language, script, expected output or None) of each example block of a document."""
    lines, fenced, i = open(path, encoding="utf-8").read().split("\n"), [], 0
    while i < len(lines):
        m, end = FENCE.match(lines[i]), i + 1
        if m:
            while end < len(lines) and lines[end].strip() != m.group(1):
                end += 1
            fenced.append((i + 1, m.group(2), m.group(3).split(), "\n".join(lines[i + 1:end]) + "\n"))
            end += 1
        i = end
    found = []
    for k, (line, lang, words, code) in enumerate(fenced):
        if "example" in words:
            after = fenced[k + 1] if k + 1 < len(fenced) and "output" in fenced[k + 1][2] else None
            where = "%s:%d" % (os.path.relpath(path, REPO), line)
            script = os.path.join(scratch, re.sub("[/:]", "_", where))
            with open(script, "w", encoding="utf-8") as f:
                f.write(code)
            found.append((where, lang, script, after and after[3]))
    return found

def matches(expected, actual):
    pattern = ".*?".join(re.escape(part) for part in expected.strip().split("..."))
    return re.fullmatch(pattern, actual.strip(), re.S) is not None

def ready():
    try:
        for port in (50051, 8050, 21328):
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.settimeout(0.2)
            udp.sendto(b"TX-DISCOVERY", ("127.0.0.1", 12345))
            return udp.recv(2048).startswith(b"TX-DISCOVERY-REPLY")
    except OSError:
        return False

def run_all(pulserd, name, examples, scratch):
    """Runs the examples against one fresh pulserd; returns the number that failed."""
    root = tempfile.mkdtemp(prefix="root-", dir=scratch)
    env = dict(os.environ, TARVEX_ROOT=root, TARVEX_SIM_DISCOVERY="1")
    proc = subprocess.Popen([pulserd], cwd=root, env=env, stdout=open(os.path.join(root, "pulserd.log"), "wb"),
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    deadline, failed = time.time() + 30, 0
    while not ready():
        if time.time() > deadline or proc.poll() is not None:
            proc.kill()
            return print("FAIL %s: pulserd did not start" % name) or len(examples)
        time.sleep(0.1)
    for where, lang, script, expected in examples:
        try:
            r = subprocess.run(RUNNERS[lang] + [script], cwd=scratch, capture_output=True, text=True, timeout=180,
                               env=dict(os.environ, PATH="/usr/bin:/bin:" + os.environ.get("PATH", "")))
            out, err, ok = r.stdout, r.stderr, r.returncode == 0
        except subprocess.TimeoutExpired as e:
            out, err, ok = str(e.stdout), "(timed out)", False
        ok = ok and (expected is None or matches(expected, out))
        print("%s %s" % ("ok  " if ok else "FAIL", where))
        if not ok:
            failed += 1
            print("--- printed:\n%s--- errors:\n%s--- expected:\n%s" % (out, err, expected))
    proc.kill()
    proc.wait()
    return failed

def install_package(scratch):
    """The Python package, pip-installed into an environment of the scratch folder, for the examples."""
    env = os.path.join(scratch, "venv")
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", env], check=True)
    shutil.copytree(os.path.join(REPO, "python"), os.path.join(scratch, "python"))  # built where it lies
    subprocess.run([os.path.join(env, "bin", "pip"), "install", "-q", "--no-index", "--no-build-isolation",
                    os.path.join(scratch, "python")], check=True, cwd=scratch)
    RUNNERS["python"] = [os.path.join(env, "bin", "python")]
    return RUNNERS["python"][0]

def main():
    own_namespace()
    with tempfile.TemporaryDirectory(prefix="tarvex-examples-") as scratch:
        for d in ("proto", "examples", "docs"):
            os.symlink(os.path.join(REPO, d), os.path.join(scratch, d))
        install_package(scratch)
        jobs = [(p, doc_examples(p, scratch)) for p in sorted(glob.glob(os.path.join(REPO, "docs", "*.md")))]
        for p in sorted(glob.glob(os.path.join(REPO, "examples", "*", "*"))):
            lang = {".py": "python", ".sh": "sh"}.get(os.path.splitext(p)[1])
            if lang:
                jobs.append((p, [(os.path.relpath(p, REPO), lang, p, None)]))
        total = sum(len(examples) for _, examples in jobs)
        failed = sum(run_all(os.path.abspath(sys.argv[1]), os.path.relpath(p, REPO), ex, scratch) for p, ex in jobs if ex)
    print("%d passed, %d failed" % (total - failed, failed))
    return 1 if failed or total == 0 else 0

if __name__ == "__main__":
    sys.exit(main())
