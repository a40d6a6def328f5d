#!/usr/bin/env bash
# Mutation check of the test suite: applies single-line faults to the product code, one at a time,
# in a scratch copy of this repository, rebuilds it and runs the suite against each.
#   scripts/mutants.sh [--out FILE] [--only 3,7] [--scratch DIR] [--timeout SECONDS] [--check]
# Each mutant names a file by its basename, a snippet that must occur exactly once in it, and the
# replacement; a mutant whose snippet is not found exactly once is reported "n/a". Unit test
# programs run first (one process each, stopping at the first failure), then the end-to-end tests
# through ctest with --stop-on-failure. Prints a Markdown table; --check only locates the snippets.
# Not part of ./test.sh. Reads nothing outside the repository; the scratch copy and its build
# (default ${TMPDIR:-/tmp}/tarvex-mutants) are kept between runs so rebuilds stay incremental.
set -euo pipefail
export TARVEX_REPO="$(cd "$(dirname "$0")/.." && pwd)"
exec /usr/bin/python3 - "$@" <<'PY'
import argparse, json, os, re, signal, subprocess, sys, time

# (layer, file basename, original snippet (exactly once in the file), replacement)
MUTANTS = [
    ("device", "PulserRun.cpp", "slot::LOOP, next_action == 3 ? 1 : 0", "slot::LOOP, next_action == 2 ? 1 : 0"),
    ("device", "PulserRun.cpp", "return underflowGatePasses(s) && !(s & busyBits(slot));", "return underflowGatePasses(s);"),
    ("device", "PulserRun.cpp", "} else if (on(FILLING)) {", "} else if (on(CONDITION_ONE)) {"),
    ("device", "PulserTrigger.cpp", "if (!(ctrl.read(ctrl::STATUS) & status::PHASE_DONE)) {", "if (false) {"),
    ("device", "PulserInfo.cpp", "if (text.size() != 17) return false;", "if (text.size() < 17) return false;"),
    ("device", "PulserNetwork.cpp", "if (n[i] < 0 || n[i] > 255) return false;", "if (n[i] < 0 || n[i] > 256) return false;"),
    ("device/encoder", "memory_commands.h", "b == 0 ? 0 : b <= 8 ? 1 : b <= 16 ? 2 : 3", "b == 0 ? 0 : b <= 7 ? 1 : b <= 16 ? 2 : 3"),
    ("device/encoder", "memory_commands.h", "b == 0 ? 0 : b <= 8 ? 1 : b <= 16 ? 2 : 3", "b == 0 ? 0 : b <= 8 ? 1 : b <= 15 ? 2 : 3"),
    ("device/encoder", "memory_commands.h", "return ((codes ^ ref_codes) >> 16) != 0; }", "return ((codes ^ ref_codes) >> 24) != 0; }"),
    ("device/encoder", "Pulse.cpp", "return (int32_t(length) * value) >> 3; }", "return (int32_t(length) * value) / 8; }"),
    ("device/encoder", "Pulse.cpp", "uintptr_t(in_window(end)) >= uintptr_t(window_) + reg::SEQMEM_LEN", "uintptr_t(in_window(end)) > uintptr_t(window_) + reg::SEQMEM_LEN"),
    ("device/encoder", "Pulse.cpp", "x.head = uint16_t((mask == 0xFF ? 0 : HDR_MASKED) | mask << 8);", "x.head = uint16_t((mask == 0xFF ? 0 : HDR_MASKED) | mask << 7);"),
    ("device/encoder", "Pulse.cpp", "if (length > 8 - start) length = uint8_t(8 - start);", "if (length > 9 - start) length = uint8_t(8 - start);"),
    ("device/encoder", "Pulse.cpp", "words - 1 < CMD_MAX_WORDS - n)", "words - 1 <= CMD_MAX_WORDS - n)"),
    ("device/encoder", "Pulse.cpp", "if (q != begin && q - 1 != found_for) {", "if (q != begin) {"),
    ("device/encoder", "Pulse.cpp", "for (size_t unit = 4; unit != 0; unit >>= 1) {", "for (size_t unit = 2; unit != 0; unit >>= 1) {"),
    ("sim", "platform_sim.cpp", "|| uintptr_t(dst) % unit != 0 ||", "||"),
    ("device/calibration", "AnalogCalibration.cpp", "gain_error_corr * dc_offset + 8192)", "gain_error_corr * dc_offset + 8191)"),
    ("device/calibration", "AnalogCalibration.cpp", "} else if (seen[0] && seen[1] && seen[2] && seen[3]) {", "} else if (seen[0] && seen[1] && seen[2]) {"),
    ("device/calibration", "PulserCalibration.cpp", "const double codes = offset * 32767 * 0.25;", "const double codes = offset * 32768 * 0.25;"),
    ("device/calibration", "PulserCalibration.cpp", "return hi < 2147483647 && lo >= -2147483647;", "return (hi < 2147483647 || true) && lo >= -2147483647;"),
    ("hardware/registers", "registers.h", "constexpr uint32_t ERROR = 1u << 4;", "constexpr uint32_t ERROR = 1u << 5;"),
    ("device/memory", "MemoryManager.cpp", "platform::reg_write(words, base, offset, value);", "platform::reg_write(words, base, offset & ~4u, value);"),
    ("grpc", "GrpcWire.cpp", "uint64_t v = (w & 0x7F) | ((w >> 1) & 0x3F80);", "uint64_t v = (w & 0x7F) | ((w >> 1) & 0x3F00);"),
    ("grpc", "GrpcWire.cpp", "constexpr int kRecursionLimit = 100;", "constexpr int kRecursionLimit = 101;"),
    ("grpc", "GrpcWire.cpp", "        if (n > static_cast<size_t>(end - p)) return false;\n        p += n;", "        p += n;"),
    ("grpc", "Google_rpc.cpp", "if (req.count > kMaxStreamPulses) {", "if (req.count >= kMaxStreamPulses) {"),
    ("jsonrpc", "Json_rpc_envelope.cpp", "if (!has_method || !has_version || version != \"2.0\" || !id_ok) {", "if (!has_method || !id_ok) {"),
    ("jsonrpc", "Json_rpc_envelope.cpp", "if (length > MAX_JSON_SEQUENCE_BYTES) return false;", "if (length >= MAX_JSON_SEQUENCE_BYTES) return false;"),
    ("jsonrpc", "Json_rpc.cpp", "if (p->length() > 3) return wrong_number(os);", "if (p->length() > 4) return wrong_number(os);"),
    ("jsonrpc", "Httpd.cpp", "if (info->content_length > MAX_REQUEST_BODY)", "if (info->content_length >= MAX_REQUEST_BODY)"),
    ("jsonrpc", "HttpStream.cpp", "setg(start - keep, start, start + n);", "setg(start, start, start + n);"),
    ("common", "Base64Dec.cpp", "((v[1] & 0x0F) << 4 | v[2] >> 2)", "((v[1] & 0x07) << 4 | v[2] >> 2)"),
    ("common", "Base64Dec.cpp", "if ((a | b) & bad) break;", "if (a & bad) break;"),
    ("common", "json.cpp", "if (c >= 'a' && c <= 'f') return c - 'a' + 10;", "if (c >= 'a' && c <= 'e') return c - 'a' + 10;"),
    ("common", "json.cpp", "parse_array(int depth) {\n    if (depth > depth_limit_ ||", "parse_array(int depth) {\n    if (depth > depth_limit_ + 1 ||"),
    ("tcp", "tcp_protocol.cpp", "if (n > limit) {", "if (n > limit + 1) {"),
    ("tcp", "tcp_protocol.cpp", "std::lock_guard<std::mutex> g(lock_);\n            r = device_.setAnalogCalibration(data);",
     "r = device_.setAnalogCalibration(data);"),
    ("tcp", "tcp_protocol.cpp", "if (header_.magic != MAGIC) break;", "if (header_.magic != MAGIC && false) break;"),
    ("hardware/decoder", "CommandDecoder.cpp", "if ((mask >> i) & 1u) c.word.channels[i] = region[pos++];", "if ((mask >> i) & 2u) c.word.channels[i] = region[pos++];"),
    ("hardware/decoder", "CommandDecoder.cpp", "if (b.digi == digi && b.code0 == c0 && b.code1 == c1) {", "if (b.digi == digi && b.code0 == c0) {"),
    ("sim", "Playback.cpp", "if (limit && s.plays >= limit) {", "if (limit && s.plays > limit) {"),
    ("discovery", "identity.cpp", "if (text.size() > 1)", "if (text.size() > 0)"),
    ("discovery", "identity.cpp", "if (byte < 0x20) {", "if (byte < 0x1F) {"),
    ("discovery", "beacond.cpp", "std::memcmp(message, request_word, request_length) != 0)", "std::memcmp(message, request_word, request_length - 1) != 0)"),
    ("device/encoder", "Pulse.cpp", "x.code_bytes = uint8_t(2 * (code0 + code1));", "x.code_bytes = uint8_t(2 * (code0 | code1));"),
]

ap = argparse.ArgumentParser(prog="scripts/mutants.sh")
ap.add_argument("--out")
ap.add_argument("--only", help="comma-separated mutant numbers")
ap.add_argument("--scratch", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "tarvex-mutants"))
ap.add_argument("--timeout", type=int, default=900, help="seconds per mutant (build and tests)")
ap.add_argument("--check", action="store_true", help="only report which snippets are found")
ap.add_argument("--no-baseline", action="store_true", help="skip the run of the unmutated suite")
args = ap.parse_args()

repo = os.environ["TARVEX_REPO"]
src, build = os.path.join(args.scratch, "src"), os.path.join(args.scratch, "build")
only = {int(x) for x in args.only.split(",")} if args.only else None
log = lambda *a: print(*a, file=sys.stderr, flush=True)

def run(cmd, timeout=None, cwd=None):
    """Runs cmd in its own process group; returns (exit status or None on time-out, output)."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        return None, p.communicate()[0]

def tracked():
    out = subprocess.run(["git", "-C", repo, "ls-files", "-z"], check=True, capture_output=True).stdout
    return [f for f in out.decode().split("\0") if f and os.path.isfile(os.path.join(repo, f))]

def sync(files):
    """Copies the working tree's tracked files into the scratch copy, touching only changed ones."""
    keep = set(files)
    for f in files:
        a, b = os.path.join(repo, f), os.path.join(src, f)
        data = open(a, "rb").read()
        if not os.path.exists(b) or open(b, "rb").read() != data:
            os.makedirs(os.path.dirname(b), exist_ok=True)
            open(b, "wb").write(data)
            os.chmod(b, os.stat(a).st_mode & 0o777)
    for d, _, names in os.walk(src):
        for n in names:
            if os.path.relpath(os.path.join(d, n), src) not in keep:
                os.unlink(os.path.join(d, n))
    # The browser tests' packages are installed, not tracked: the copy uses the tree's own.
    modules = os.path.join(src, "node_modules")
    if os.path.isdir(os.path.join(repo, "node_modules")) and not os.path.lexists(modules):
        os.symlink(os.path.join(repo, "node_modules"), modules)

def locate(files, base, old):
    hits = [f for f in files if f.split("/")[0] in ("hardware", "protocol", "server", "sim", "discovery") and os.path.basename(f) == base]
    if len(hits) != 1:
        return None, "n/a (file %s found %d times)" % (base, len(hits))
    n = open(os.path.join(repo, hits[0])).read().count(old)
    return (hits[0], None) if n == 1 else (None, "n/a (snippet found %d times)" % n)

def short(old, new):
    """The changed line, before and after, for the table."""
    a, b = old.split("\n"), new.split("\n")
    if len(a) == len(b):
        old, new = next((x, y) for x, y in zip(a, b) if x != y)
        cell = "`%s` → `%s`" % (old.strip(), new.strip())
    else:
        cell = "`%s` removed" % next(x for x in a if x not in b).strip()
    return cell.replace("|", "\\|")

files = tracked()
selected = [(i + 1, m) for i, m in enumerate(MUTANTS) if only is None or i + 1 in only]
rows, counts = [], {}
if not args.check:
    os.makedirs(src, exist_ok=True)
    sync(files)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        st, out = run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        if st != 0:
            sys.exit(out + "\nmutants: configure failed")
    st, out = run(["ninja", "-C", build, "-t", "targets", "all"])
    exes = sorted({t for t in re.findall(r"^bin/(\w+):", out, re.M) if not t.endswith("_bench")})
    unit = [t for t in exes if t.endswith("_test") and not t.startswith("e2e_")]
    e2e_targets = [t for t in exes if t not in unit]
    st, out = run(["ctest", "--test-dir", build, "--show-only=json-v1"])
    ctests = json.loads(out)["tests"] if st == 0 else []
    unit_paths = {os.path.join(build, "bin", t) for t in unit}
    e2e_names = [t["name"] for t in ctests if not set(t.get("command", [])) & unit_paths]
    e2e_regex = "^(" + "|".join(re.escape(n) for n in e2e_names) + ")$"
    netns = os.path.join(src, "tests", "support", "netns_run.sh")
    sources = {os.path.basename(f)[:-4]: open(os.path.join(src, f), errors="replace").read()
               for f in files if f.startswith("tests/") and f.endswith("_test.cpp")}

def suite(deadline, stem=""):
    """Builds and runs the tests, unit programs naming `stem` first; returns the result cell."""
    for t in sorted(unit, key=lambda t: (-sources.get(t, "").count(stem), t) if stem else t):
        st, out = run(["ninja", "-C", build, "-j2", "bin/" + t], timeout=max(1, deadline - time.time()))
        if st is None: return "caught (timeout)"
        if st != 0: return "caught (build)"
        st, out = run([netns, os.path.join(build, "bin", t), "--gtest_brief=1", "--gtest_fail_fast"],
                      timeout=max(1, deadline - time.time()), cwd=build)
        if st is None: return "caught (timeout) by " + t
        if st != 0:
            failed = re.findall(r"^\[  FAILED  \] (\S+)", out, re.M)
            return "caught by " + (failed[0] if failed else t)
    st, out = run(["ninja", "-C", build, "-j2"] + ["bin/" + t for t in e2e_targets], timeout=max(1, deadline - time.time()))
    if st is None: return "caught (timeout)"
    if st != 0: return "caught (build)"
    st, out = run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--no-tests=error", "-R", e2e_regex],
                  timeout=max(1, deadline - time.time()))
    if st is None: return "caught (timeout) in end-to-end tests"
    if st != 0:
        failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
        return "caught by " + (failed[0] if failed else "end-to-end tests")
    return "missed"

if not args.check and not args.no_baseline:
    log("baseline: building and running the unmutated suite")
    t0 = time.time()
    base = suite(time.time() + 4 * args.timeout)
    if base != "missed":
        sys.exit("mutants: the unmutated suite does not pass (%s)" % base)
    log("baseline passed in %ds" % (time.time() - t0))

start = time.time()
for n, (layer, base, old, new) in selected:
    path, result = locate(files, base, old)
    if path and not args.check:
        t0 = time.time()
        target = os.path.join(src, path)
        original = open(target).read()
        try:
            open(target, "w").write(original.replace(old, new, 1))
            result = suite(t0 + args.timeout, os.path.splitext(base)[0])
        finally:
            open(target, "w").write(original)
        result += " (%ds)" % (time.time() - t0)
    elif path:
        result = "found"
    kind = re.match(r"caught \((build|timeout)\)|caught|missed|n/a|found", result).group(0)
    counts[kind] = counts.get(kind, 0) + 1
    rows.append("| %d | %s | %s | %s | %s |" % (n, layer, path or base, short(old, new), result))
    log(rows[-1])
    table = "\n".join(["| # | layer | file | mutant | result |", "|---|---|---|---|---|"] + rows)
    table += "\n\nTotals: " + ", ".join("%s %d" % kv for kv in sorted(counts.items()))
    table += " of %d mutants%s; %d min.\n" % (len(rows), "" if len(rows) == len(selected) else
                                            " (of %d selected, run unfinished)" % len(selected),
                                            (time.time() - start) // 60)
    if args.out:
        open(args.out, "w").write(table)
print(table)
PY
