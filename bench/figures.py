#!/usr/bin/env python3
"""Measures every performance figure against its floor and prints one table.

    python3 bench/figures.py BUILD_DIR [--bridge-built]

BUILD_DIR is a Release build with ZUL_BUILD_BENCH=ON (bench/run.sh makes
one). Virtual-time figures are exact; real-time ones (CPU, the recorder's
latency) are measured side by side with their reference, so that the
machine's load falls on both."""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = sys.argv[1]
BRIDGE_BUILT = "--bridge-built" in sys.argv
SIM = os.path.join(BUILD, "zul_stm_sim")
DRIVER = os.path.join(BUILD, "zul_stm_driver")
SLEEPER = os.path.join(BUILD, "zul_bench_sleeper")
SIZE_FLOOR = os.path.join(BUILD, "zul_bench_size_floor")
MICRO = os.path.join(BUILD, "zul_bench_micro")
TMP = tempfile.mkdtemp(prefix="zul_bench_")

# One exchange cycle with nothing pending: 1 ms, a transfer, 5 ms, a
# transfer; a transfer is 64 bits at 250 MHz / 889.
TRANSFER_MS = 64 * 889 / 250e6 * 1000
CYCLE_MS = 1 + TRANSFER_MS + 5 + TRANSFER_MS

rows = []


def row(figure, measured, floor, ratio):
    rows.append((figure, measured, floor, ratio))
    print(f"  measured: {figure}: {measured}", file=sys.stderr)


def path(name):
    return os.path.join(TMP, name)


class Run:
    """A child process whose CPU time and peak memory come from wait4."""

    def __init__(self, argv, stdin_text=None, env=None, keep_stdin_open=False, peak=False):
        # A child of this script starts out as a copy of it, and wait4's peak
        # counts that copy (some 15 MiB of Python) before the exec: the
        # program's own peak comes from GNU time, which is small.
        self.peak_file = None
        if peak:
            self.peak_file = path(f"peak.{id(self)}")
            argv = ["/usr/bin/time", "-f", "%M", "-o", self.peak_file] + list(argv)
        self.start = time.monotonic()
        e = dict(os.environ)
        e.pop("ZUL_RECORD", None)
        e.update(env or {})
        self.out = open(path(f"out.{id(self)}"), "w")
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=self.out,
                                  stderr=subprocess.DEVNULL, env=e)
        if stdin_text:
            self.p.stdin.write(stdin_text.encode())
            self.p.stdin.flush()
        if not keep_stdin_open:
            self.p.stdin.close()

    def wait(self):
        _, status, ru = os.wait4(self.p.pid, 0)
        self.p.returncode = os.waitstatus_to_exitcode(status)
        self.wall = time.monotonic() - self.start
        self.cpu = ru.ru_utime + ru.ru_stime
        self.user = ru.ru_utime
        self.sys = ru.ru_stime
        self.maxrss_mib = ru.ru_maxrss / 1024
        if self.peak_file:
            with open(self.peak_file) as f:
                self.maxrss_mib = int(f.read().split()[-1]) / 1024
        if self.p.stdin and not self.p.stdin.closed:
            self.p.stdin.close()
        self.out.close()
        return self


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))]


def fmt_ms(v):
    return f"{v:.3f} ms"


def scenario(hours):
    f = path(f"hours{hours}.scn")
    with open(f, "w") as out:
        subprocess.run([sys.executable, os.path.join(HERE, "hour_scenario.py"), str(hours)],
                       stdout=out, check=True)
    return f


def scenario_events(scn):
    events = []
    for line in open(scn):
        w = line.split()
        if len(w) >= 2 and w[0].isdigit() and w[1] in ("dial", "pickup", "open", "drop"):
            text = " ".join(w[1:3]) if w[1] == "dial" else w[1]
            events.append((int(w[0]), text))
    return events


def read_lines_log(f):
    out = []
    for line in open(f):
        t, _, text = line.rstrip("\n").partition(" ")
        out.append((float(t), text))
    return out


def event_latencies(scn, lines_log):
    """Frame ready (the scenario queues it) to its line on standard output."""
    lines = read_lines_log(lines_log)
    used = set()
    lat = []
    for t, text in scenario_events(scn):
        for i, (lt, ltext) in enumerate(lines):
            if i not in used and ltext == text and lt >= t:
                used.add(i)
                lat.append(lt - t)
                break
    return lat


def command_latencies(lines_log, pins_log):
    """The first code after each imitated dial (400 ms later) to the first pin write."""
    writes = []
    for line in open(pins_log):
        t, call, _, _ = line.split()
        if call == "write":
            writes.append(float(t))
    lat = []
    for t, text in read_lines_log(lines_log):
        if text in ("dial 5", "dial 6"):
            code_t = t + 400
            after = [w for w in writes if w >= code_t]
            if after:
                lat.append(after[0] - code_t)
    return lat


# ---- virtual time: latencies, the simulator's speed and memory ----------------

def virtual_runs():
    floor = 2 * CYCLE_MS  # at worst a whole cycle until the next poll, then its fetch
    results = {}
    for hours in (1, 4, 24):
        scn = scenario(hours)
        logs = {k: path(f"{k}{hours}") for k in ("pins", "frames", "lines", "vcd", "svg")}
        r = Run([SIM, "--virtual", "--scenario", scn, "--pins", logs["pins"], "--frames",
                 logs["frames"], "--lines", logs["lines"], "--vcd", logs["vcd"], "--svg",
                 logs["svg"], "--", "10"], peak=True).wait()
        # A simulated day's frames log is over a gigabyte; nothing below reads it.
        os.remove(logs["frames"])
        results[hours] = (r, scn, logs)
        speed = hours * 3600 / r.wall
        row(f"simulator speed, {hours} h of calls with every log", f"{speed:.0f}x real time",
            "1000x", f"{speed / 1000:.2f}")
    r24 = results[24][0]
    row("simulator wall time, 24 h of calls with every log", f"{r24.wall:.1f} s", "30 s",
        f"{r24.wall / 30:.2f}")
    row("simulator CPU, 24 h of calls with every log: user + system",
        f"{r24.user:.2f} + {r24.sys:.2f} s", "-", "-")
    row("simulator system time, 24 h of calls with every log (share of wall)",
        f"{r24.sys:.2f} s ({100 * r24.sys / r24.wall:.1f} %)", "10 %",
        f"{r24.sys / r24.wall / 0.10:.2f}")
    quiet = Run([SIM, "--virtual", "--scenario", scenario(1), "--", "10"]).wait()
    row("simulator wall time, 1 h of calls without logs", f"{quiet.wall:.2f} s", "1.5 s",
        f"{quiet.wall / 1.5:.2f}")
    row("simulator system time, 1 h of calls without logs (share of wall)",
        f"{quiet.sys:.2f} s ({100 * quiet.sys / quiet.wall:.1f} %)", "10 %",
        f"{quiet.sys / quiet.wall / 0.10:.2f}")
    r1, scn1, logs1 = results[1]
    r4 = results[4][0]
    row("simulator peak memory, 1 h", f"{r1.maxrss_mib:.1f} MiB", "-", "-")
    row("simulator peak memory, 4 h", f"{r4.maxrss_mib:.1f} MiB",
        f"{1.25 * r1.maxrss_mib:.1f} MiB (1 h + 25 %)",
        f"{r4.maxrss_mib / (1.25 * r1.maxrss_mib):.2f}")
    row("simulator peak memory, 24 h", f"{r24.maxrss_mib:.1f} MiB",
        f"{1.25 * r1.maxrss_mib:.1f} MiB (1 h + 25 %)",
        f"{r24.maxrss_mib / (1.25 * r1.maxrss_mib):.2f}")

    lat = event_latencies(scn1, logs1["lines"])
    for name, v in (("p50", statistics.median(lat)), ("p99", pct(lat, 99)), ("max", max(lat))):
        row(f"event latency {name} (frame ready -> line, virtual, {len(lat)} events)", fmt_ms(v),
            f"{fmt_ms(floor)} (poll wait + fetch)", f"{v / floor:.2f}")
    cmd = command_latencies(logs1["lines"], logs1["pins"])
    for name, v in (("p50", statistics.median(cmd)), ("max", max(cmd))):
        row(f"command latency {name} (code on stdin -> first pin write, virtual, {len(cmd)} codes)",
            fmt_ms(v), "40 ms", f"{v / 40:.2f}")


# ---- real time: idle CPU ------------------------------------------------------

def idle_cpu(seconds=20):
    sim = Run([SIM, "--until", str(seconds * 1000), "--", "10"], "-1 -1\n", keep_stdin_open=True)
    sleeper = Run([SLEEPER, str(seconds)])
    s = sim.wait()
    z = sleeper.wait()
    row(f"idle CPU, {seconds} s real time (simulated board, its own threads included)",
        f"{s.cpu:.2f} s ({100 * s.cpu / s.wall:.1f} %)",
        f"{z.cpu:.2f} s (sleep-only, same waits)", f"{s.cpu / max(z.cpu, 1e-3):.1f}")


# ---- the flight recorder's cost -------------------------------------------------

def recorder_cost():
    scn = scenario(1)
    plain = Run([SIM, "--virtual", "--scenario", scn, "--", "10"]).wait()
    rec = Run([SIM, "--virtual", "--scenario", scn, "--", "10"],
              env={"ZUL_RECORD": path("record_v")}).wait()
    row("recorder CPU: 1 h virtual, wall time with / without ZUL_RECORD",
        f"{rec.wall:.2f} s / {plain.wall:.2f} s", "1.00", f"{rec.wall / plain.wall:.2f}")

    # Real time, side by side: a dial every 500 ms for 30 s.
    seconds = 30
    rt = path("rt.scn")
    with open(rt, "w") as f:
        f.write("0 console -1 -1\n")
        for t in range(3000, seconds * 1000 - 500, 500):
            f.write(f"{t} dial 7\n{t + 250} drop\n")
        f.write(f"{seconds * 1000} end\n")
    a = Run([SIM, "--scenario", rt, "--lines", path("rt_plain"), "--", "10"])
    b = Run([SIM, "--scenario", rt, "--lines", path("rt_rec"), "--", "10"],
            env={"ZUL_RECORD": path("record_rt")})
    a.wait()
    b.wait()
    la = event_latencies(rt, path("rt_plain"))
    lb = event_latencies(rt, path("rt_rec"))
    row(f"recorder CPU: {seconds} s real time, with / without ZUL_RECORD",
        f"{b.cpu:.2f} s / {a.cpu:.2f} s", "1.00", f"{b.cpu / max(a.cpu, 1e-3):.2f}")
    row("recorder latency: event p50, real time, with / without",
        f"{statistics.median(lb):.3f} / {statistics.median(la):.3f} ms", "1.00",
        f"{statistics.median(lb) / statistics.median(la):.2f}")
    row("recorder latency: event max, real time, with / without",
        f"{max(lb):.3f} / {max(la):.3f} ms", "1.00", f"{max(lb) / max(la):.2f}")
    size = os.path.getsize(path("record_rt"))
    row("recorder: record of that run", f"{size / 1024:.0f} KiB", "-", "-")


# ---- static figures -----------------------------------------------------------

def allocations():
    """The product's own objects may not call an allocator at all; the C
    library calls it makes after start-up (unbuffered printf, fgetc on an
    already buffered stdin, poll, nanosleep) do not allocate."""
    lib = os.path.join(BUILD, "libzul_program.a")
    out = subprocess.run(["nm", "-A", "-u", "-C", lib], capture_output=True, text=True).stdout
    refs = [l for l in out.splitlines()
            if re.search(r"operator new|operator delete|\bmalloc\b|\bcalloc\b|\brealloc\b|"
                         r"\bstrdup\b|\bfree\b", l)]
    row("heap allocations after start-up (allocator references in the product's objects)",
        str(len(refs)), "0", "at floor" if not refs else "above")
    for r in refs:
        print("   ", r, file=sys.stderr)


def sizes():
    if not os.path.exists(DRIVER) or not os.path.exists(SIZE_FLOOR):
        row("stripped driver size", "not built", "-", "-")
        return
    a, b = path("driver"), path("floor")
    shutil.copy(DRIVER, a)
    shutil.copy(SIZE_FLOOR, b)
    subprocess.run(["strip", "--strip-all", a, b], check=True)
    sa, sb = os.path.getsize(a), os.path.getsize(b)
    row("stripped driver size", f"{sa / 1024:.1f} KiB",
        f"{sb / 1024:.1f} KiB (smallest program on the library)", f"{sa / sb:.2f}")


def micro():
    out = path("micro.json")
    subprocess.run([MICRO, "--benchmark_min_time=0.2", f"--benchmark_out={out}",
                    "--benchmark_out_format=json"], check=True, stdout=sys.stderr)
    b = {x["name"]: x["real_time"] for x in json.load(open(out))["benchmarks"]}
    row("recorder cost per hook (record_transfer on / off)",
        f"{b['BM_record_transfer_on']:.1f} / {b['BM_record_transfer_off']:.2f} ns", "-", "-")
    row("checksum ModRTU_CRC, 6 bytes", f"{b['BM_ModRTU_CRC']:.1f} ns", "-", "-")
    row("exchange cycle spi_buffer_txrx (simulated board, instant clock)",
        f"{b['BM_spi_buffer_txrx']:.0f} ns", "-", "-")
    row("decoder spi_parser (no reply / version report)",
        f"{b['BM_spi_parser/0']:.1f} / {b['BM_spi_parser/2']:.0f} ns", "-", "-")


def bridge():
    if not BRIDGE_BUILT:
        row("bridge zul_stm_mqtt: publish latency, CPU, RSS", "not built", "-", "-")
    else:
        row("bridge zul_stm_mqtt: publish latency, CPU, RSS", "built; not measured here yet",
            "-", "-")


def main():
    print("measuring (about five minutes) ...", file=sys.stderr)
    # Wall times move with the machine's load; user + system times less so.
    row("load average at the start (1 / 5 / 15 min)",
        " / ".join(f"{x:.2f}" for x in os.getloadavg()), "-", "-")
    virtual_runs()
    idle_cpu()
    recorder_cost()
    allocations()
    sizes()
    micro()
    bridge()
    w = [max(len(r[i]) for r in rows + [("figure", "measured", "floor", "ratio")])
         for i in range(4)]
    print()
    print(f"{'figure':<{w[0]}}  {'measured':<{w[1]}}  {'floor':<{w[2]}}  ratio")
    print(f"{'-' * w[0]}  {'-' * w[1]}  {'-' * w[2]}  -----")
    for r in rows:
        print(f"{r[0]:<{w[0]}}  {r[1]:<{w[1]}}  {r[2]:<{w[2]}}  {r[3]}")
    shutil.rmtree(TMP)


main()
