#!/usr/bin/env python3
"""The program alone in the simulator, in virtual time, for DAYS simulated
days (default 60) of the hour benchmark's calls: past 2^32 ms (49.7 days),
where a 32-bit millisecond counter would wrap. While it runs, every 20 s of
wall time: its RSS, and a flight record snapshot (SIGUSR1) whose times must
stay in order and whose VIZIT open_calls (room 5) must each span 3530 ms on
the pins, as in the first hour. At the end: every call of the scenario on
the program's output (each dial, the real handset's pickup and open, each
drop), the same checks on the final record, and the RSS flat.

  bench/sixty_days.py SIM [DAYS]
"""
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

WRAP_MS = 2**32
sim = sys.argv[1]
days = float(sys.argv[2]) if len(sys.argv) > 2 else 60
hours = max(1, int(days * 24))
work = tempfile.mkdtemp(prefix="zul_sixty_days_")
scn = os.path.join(work, "calls.scn")
rec = os.path.join(work, "flight.rec")
here = os.path.dirname(os.path.abspath(__file__))
with open(scn, "w") as out:
    subprocess.run([sys.executable, os.path.join(here, "hour_scenario.py"), str(hours)],
                   stdout=out, check=True)
expected = {}
for line in open(scn):
    words = line.split()
    if len(words) == 3 and words[1] == "dial":
        expected[words[2]] = expected.get(words[2], 0) + 1

seen = {"dial": {}, "pickup": 0, "open": 0, "drop": 0}


def read_output(stream):
    for line in stream:
        words = line.split()
        if len(words) == 2 and words[0] == "dial":
            seen["dial"][words[1]] = seen["dial"].get(words[1], 0) + 1
        elif len(words) == 1 and words[0] in ("pickup", "open", "drop"):
            seen[words[0]] += 1


def check_record(path):
    """(entries, last ms, out-of-order count, open_call spans) of a record."""
    pins, dials, last, disorder, n = [], [], -1.0, 0, 0
    for line in open(path, errors="replace"):
        if line.startswith("#"):
            continue
        words = line.split()
        if len(words) < 2:
            continue
        t = float(words[0])
        n += 1
        disorder += t < last
        last = max(last, t)
        if words[1] == "pin" and len(words) == 4:
            pins.append((t, int(words[2]), int(words[3])))
        elif words[1:] == ["out", "dial", "5"]:
            dials.append(t)
    spans = []
    for d in dials:
        w = [p for p in pins if d + 400 < p[0] < d + 400 + 5000]
        # Only a sequence the record holds whole (not cut by its start or end).
        if w and d + 400 + 5000 < last:
            spans.append(round(w[-1][0] - w[0][0], 3))
    return n, last, disorder, spans


start = time.time()
env = dict(os.environ, ZUL_RECORD=rec)
proc = subprocess.Popen([sim, "--virtual", "--scenario", scn, "--", "10"], stdout=subprocess.PIPE,
                        text=True, env=env)
reader = threading.Thread(target=read_output, args=(proc.stdout,))
reader.start()
rss, snapshots, bad = [], [], []
while proc.poll() is None:
    time.sleep(20)
    try:
        with open(f"/proc/{proc.pid}/status") as status:
            rss += [int(l.split()[1]) for l in status if l.startswith("VmRSS:")]
        os.kill(proc.pid, signal.SIGUSR1)
    except (OSError, ValueError):
        break
    time.sleep(2)
    if os.path.exists(rec):
        n, last, disorder, spans = check_record(rec)
        snapshots.append((last, disorder, spans))
        print(f"{time.time() - start:7.0f} s wall: {last / 86400000:6.2f} simulated days, "
              f"RSS {rss[-1]} KiB, {len(spans)} open_calls {sorted(set(spans))} ms, "
              f"{disorder} times out of order", flush=True)
proc.wait()
reader.join()
wall = time.time() - start
final = check_record(rec)
snapshots.append((final[1], final[2], final[3]))

print(f"\n{days:g} simulated days ({hours} hours, {sum(expected.values())} calls) in "
      f"{wall:.0f} s of wall time; exit status {proc.returncode}")
failures = 0


def row(what, figure, ok):
    global failures
    failures += not ok
    print(f"| {what:<46} | {figure:<30} | {'ok' if ok else 'FAIL'} |")


print(f"| {'count':<46} | {'figure':<30} |      |")
for room in sorted(expected):
    row(f"calls to room {room} on the output", f"{seen['dial'].get(room, 0)} of {expected[room]}",
        seen["dial"].get(room, 0) == expected[room])
real = expected.get("7", 0)
row("real handset's pickups and opens", f"{seen['pickup']}, {seen['open']} of {real} each",
    seen["pickup"] == real and seen["open"] == real)
row("drops", f"{seen['drop']} of {sum(expected.values())}", seen["drop"] == sum(expected.values()))
past = [s for s in snapshots if s[0] > WRAP_MS]
row("flight records past 2^32 ms", f"{len(past)} of {len(snapshots)}",
    days < 49.8 or len(past) > 0)
row("  their last time (ms)", f"{max(s[0] for s in snapshots):.3f}", True)
row("times out of order in any record", str(sum(s[1] for s in snapshots)),
    sum(s[1] for s in snapshots) == 0)
spans = [x for s in snapshots for x in s[2]]
after = [x for s in past for x in s[2]]
row("VIZIT open_calls in the records, spans (ms)", f"{len(spans)}, {sorted(set(spans))}",
    len(spans) > 0 and set(spans) == {3530})
row("  of them after the wrap", str(len(after)), days < 49.8 or len(after) > 0)
if rss:
    q = max(1, len(rss) // 4)
    first, last = sorted(rss[:q])[q // 2], sorted(rss[-q:])[q // 2]
    row("RSS KiB, first quarter -> last quarter", f"{first} -> {last} (max {max(rss)})",
        last <= first + max(1024, first // 10))
row("exit status of the simulator", str(proc.returncode), proc.returncode == 0)
if failures == 0:
    subprocess.run(["rm", "-rf", work])
else:
    print(f"logs in {work}")
sys.exit(1 if failures else 0)
