#!/usr/bin/env python3
"""Checks, from a pin log and a lines log, that every VIZIT open_call (the
answer to "dial 5" in the hour scenario) spans exactly 3530 ms on the pins."""
import sys

pins = []
for line in open(sys.argv[1]):
    t, call, gpio, level = line.split()
    if call == "write":
        pins.append((float(t), int(gpio), int(level)))
dials = [float(l.split()[0]) for l in open(sys.argv[2]) if l.split()[1:] == ["dial", "5"]]
spans = []
for d in dials:
    # The code comes 400 ms after the dial; the open_call's writes follow it
    # and end with the second board idle state, before the next call.
    w = [p for p in pins if d + 400 < p[0] < d + 400 + 5000]
    spans.append(round(w[-1][0] - w[0][0], 3))
bad = [s for s in spans if s != 3530]
print(f"{len(spans)} VIZIT open_call sequences, spans: {sorted(set(spans))} ms")
sys.exit(1 if bad or not spans else 0)
