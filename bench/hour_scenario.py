#!/usr/bin/env python3
"""Sixty calls an hour (one a minute) for HOURS hours (default 1): imitated
rooms answered by the scripted controlling side (one opens the door at once,
one picks up, opens, hangs up), a blacklisted room, and calls left to the
real handset."""
import sys

hours = int(sys.argv[1]) if len(sys.argv) > 1 else 1
print("0 console 5 6 -1 9 -1")
print('on "dial 5" after 400 console 2')
print('on "dial 6" after 400 console 1')
print('on "dial 6" after 2000 console 2')
print('on "dial 6" after 4000 console 3')
for i in range(60 * hours):
    t = 5000 + i * 59000 + (i // 60) * 60000
    room = [5, 6, 9, 7][i % 4]
    print(f"{t} dial {room}")
    if room == 7:
        print(f"{t + 1000} pickup")
        print(f"{t + 2000} open")
    print(f"{t + 15000} drop")
print(f"{3600000 * hours} end")
