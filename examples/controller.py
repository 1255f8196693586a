#!/usr/bin/env python3
"""An example controlling process for zul_stm_driver (or zul_stm_sim).

It starts the program, writes the two room lists to its standard input,
reads its standard output line by line and answers every call to an
imitated room: pick up (1), open the door (2), hang up (3), with a pause
before each. Calls to other rooms are only watched. One summary line per
call goes to standard output; the program's other lines go to standard
error with --verbose. It exits when the program's output ends, with the
program's exit status.

  examples/controller.py [--imitate 5,6] [--blacklist 9] [PAUSES] -- PROGRAM ARGS...
  examples/controller.py --self-test

For example, on the simulated shield in real time (the program reads this
process's answers from its standard input):

  examples/controller.py --imitate 5 --blacklist 9 -- \\
      ./build/zul_stm_sim --scenario calls.scn -- 10

Python 3 standard library only.
"""

import argparse
import re
import signal
import subprocess
import sys
import threading
import time

# ---- the program's output lines ---------------------------------------------

# Command codes the program reads on standard input.
PICK_UP = 1
OPEN_DOOR = 2  # 23 does the same
HANG_UP = 3  # also rejects a call not yet picked up
RELAY_CODES = (20, 21, 22)  # pulse relay 0, 1, 2 for two seconds
NOTHING = 99

CODE_NAMES = {PICK_UP: "pick up", OPEN_DOOR: "open door", 23: "open door",
              HANG_UP: "hang up", 20: "relay 0", 21: "relay 1", 22: "relay 2",
              NOTHING: "nothing"}

CALL_EVENTS = ("pickup", "open", "drop", "openDetected")
BANNERS = ("#STM_driver_1v22", "ZUL_STM_Driver 1.22")
PROMPTS = ("#Write rooms:", "#End read rooms", "#Write blacklist rooms:",
           "#End read blacklist rooms")
HANDSHAKE = re.compile(r"^(Intercom|Program_STM|Shield): (\d+)$")
DIAL = re.compile(r"^dial (\d+)$")
# "S0 impulse: HIGH 500", "Ek steady LOW 0", "? ? LOW 7"
SIGNAL = re.compile(r"^(Ek|S0|S1|\?) (steady|impulse:|\?) (HIGH|LOW) (\d+)$")
ERRORS = ("error: no arg", "Error: big number")


def parse_line(line):
    """One line of the program's output as a list of one (kind, value) pair."""
    line = line.rstrip("\r\n")
    out = []
    m = DIAL.match(line)
    if m:
        out.append(("dial", int(m.group(1))))
    elif line in CALL_EVENTS:
        out.append((line, None))
    elif line == "common":  # the common driver opening the door during a call
        out.append(("common", None))
    elif line in BANNERS:
        out.append(("banner", line))
    elif line in PROMPTS:
        out.append(("prompt", line))
    elif HANDSHAKE.match(line):
        name, value = HANDSHAKE.match(line).groups()
        out.append(("version", (name, int(value))))
    elif SIGNAL.match(line):
        channel, form, level, value = SIGNAL.match(line).groups()
        out.append(("signal", (channel, form.rstrip(":"), level, int(value))))
    elif line in ERRORS:
        out.append(("error", line))
    else:
        out.append(("other", line))
    return out


# ---- calls ------------------------------------------------------------------

class Call:
    """One call from its dial line to its drop (or the next dial)."""

    def __init__(self, room, kind, started):
        self.room = room
        self.kind = kind  # "imitated", "blacklisted" or "real"
        self.started = started
        self.events = ["dial"]
        self.sent = []
        self.cancel = threading.Event()

    def summary(self, ended_by):
        sent = ", ".join("%d %s" % (c, CODE_NAMES.get(c, "?")) for c in self.sent)
        return "room %d: %s; at +%.1f s; events: %s; sent: %s; ended by %s" % (
            self.room, self.kind, self.started, ", ".join(self.events), sent or "nothing",
            ended_by)


class Controller:
    """Follows the program's output and answers calls to imitated rooms.

    send(code) writes one command code to the program; report(text) gets the
    summary lines; note(text) the program's other lines. With pauses of None
    the answers are sent at once, from the caller's thread (the self-test).
    """

    def __init__(self, imitate, blacklist, pauses, send, report, note, clock=time.monotonic):
        self.imitate = set(imitate)
        self.blacklist = set(blacklist)
        self.pauses = pauses  # seconds before 1, before 2 and before 3; or None
        self.send = send
        self.report = report
        self.note = note
        self.clock = clock
        self.t0 = clock()
        self.call = None
        self.lock = threading.Lock()  # the current call, against the answering thread

    def kind_of(self, room):
        # A room in both lists ends up blacklisted: the program reads the
        # blacklist second.
        if room in self.blacklist:
            return "blacklisted"
        if room in self.imitate:
            return "imitated"
        return "real"

    def on_line(self, line):
        for kind, value in parse_line(line):
            self.on_event(kind, value, line.rstrip("\r\n"))

    def on_event(self, kind, value, text):
        if kind == "dial":
            self.end_call("next dial")
            call = Call(value, self.kind_of(value), self.clock() - self.t0)
            with self.lock:
                self.call = call
            if call.kind == "imitated":
                self.answer(call)
        elif kind in CALL_EVENTS or kind == "common":
            with self.lock:
                call = self.call
            if call is None:
                self.note("outside a call: %s" % kind)
            else:
                call.events.append(kind)
            if kind == "drop":
                self.end_call("drop")
        else:
            self.note(text)

    def answer(self, call):
        steps = ((PICK_UP, 0), (OPEN_DOOR, 1), (HANG_UP, 2))
        if self.pauses is None:
            for code, _ in steps:
                self.send_for(call, code)
            return

        def run():
            for code, step in steps:
                # A drop or the next dial ends the call: no more answers.
                if call.cancel.wait(self.pauses[step]):
                    return
                self.send_for(call, code)

        threading.Thread(target=run, daemon=True).start()

    def send_for(self, call, code):
        with self.lock:
            if call.cancel.is_set():
                return
            call.sent.append(code)
        self.send(code)

    def end_call(self, ended_by):
        with self.lock:
            call, self.call = self.call, None
            if call is not None:
                call.cancel.set()
        if call is not None:
            self.report(call.summary(ended_by))

    def finish(self):
        self.end_call("end of output")


# ---- running the program ----------------------------------------------------

def room_list(text):
    rooms = []
    for part in filter(None, text.split(",")):
        room = int(part)
        if not 0 <= room <= 4095:
            raise argparse.ArgumentTypeError("room %d is not in 0..4095" % room)
        rooms.append(room)
    return rooms


def run(args):
    proc = subprocess.Popen(args.program, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, bufsize=1)
    write_lock = threading.Lock()

    def send(code):
        with write_lock:
            try:
                proc.stdin.write("%d\n" % code)
                proc.stdin.flush()
            except (BrokenPipeError, ValueError):
                pass  # the program has gone; its output will end too

    def report(text):
        print(text, flush=True)

    def note(text):
        if args.verbose:
            print("program: %s" % text, file=sys.stderr, flush=True)

    # Both lists at once, each ended by -1 ("5 6 -1 9 -1"): the program
    # prints its prompts and reads them from the pipe in its own time.
    lists = args.imitate + [-1] + args.blacklist + [-1]
    send_raw(proc, write_lock, " ".join(map(str, lists)) + "\n")

    pauses = (args.pickup_after, args.open_after, args.hangup_after)
    controller = Controller(args.imitate, args.blacklist, pauses, send, report, note)
    # Ctrl-C ends the program; its output then ends and so does this loop.
    signal.signal(signal.SIGINT, lambda *_: proc.terminate())
    for line in proc.stdout:
        controller.on_line(line)
    controller.finish()
    with write_lock:
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
    try:
        status = proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.terminate()
        status = proc.wait()
    return status if status >= 0 else 128 - status


def send_raw(proc, lock, text):
    with lock:
        try:
            proc.stdin.write(text)
            proc.stdin.flush()
        except BrokenPipeError:
            pass


# ---- self-test ----------------------------------------------------------------

def self_test():
    assert parse_line("dial 5\n") == [("dial", 5)]
    assert parse_line("pickup") == [("pickup", None)]
    assert parse_line("openDetected") == [("openDetected", None)]
    assert parse_line("common\n") == [("common", None)]
    assert parse_line("#STM_driver_1v22") == [("banner", "#STM_driver_1v22")]
    assert parse_line("#End read blacklist rooms") == [("prompt", "#End read blacklist rooms")]
    assert parse_line("Program_STM: 1") == [("version", ("Program_STM", 1))]
    assert parse_line("S0 impulse: HIGH 500") == [("signal", ("S0", "impulse", "HIGH", 500))]
    assert parse_line("Ek ? LOW 0") == [("signal", ("Ek", "?", "LOW", 0))]
    assert parse_line("Error: big number") == [("error", "Error: big number")]
    assert parse_line("dial x") == [("other", "dial x")]

    sent, reports, notes = [], [], []
    c = Controller([5, 6], [9], None, sent.append, reports.append, notes.append,
                   clock=lambda: 0.0)
    for line in ("#STM_driver_1v22", "ZUL_STM_Driver 1.22", "Shield: 26",
                 "dial 5", "openDetected", "drop",  # imitated: answered
                 "dial 9", "drop",                  # blacklisted: the program rejects it
                 "dial 7", "pickup", "open", "drop",  # a real handset took it
                 "dial 6", "common", "drop",
                 "dial 8"):
        c.on_line(line + "\n")
    c.finish()
    assert sent == [1, 2, 3, 1, 2, 3], sent
    assert reports == [
        "room 5: imitated; at +0.0 s; events: dial, openDetected, drop; "
        "sent: 1 pick up, 2 open door, 3 hang up; ended by drop",
        "room 9: blacklisted; at +0.0 s; events: dial, drop; sent: nothing; ended by drop",
        "room 7: real; at +0.0 s; events: dial, pickup, open, drop; sent: nothing; "
        "ended by drop",
        "room 6: imitated; at +0.0 s; events: dial, common, drop; "
        "sent: 1 pick up, 2 open door, 3 hang up; ended by drop",
        "room 8: real; at +0.0 s; events: dial; sent: nothing; ended by end of output",
    ], reports
    assert notes == ["#STM_driver_1v22", "ZUL_STM_Driver 1.22", "Shield: 26"], notes

    # With pauses: a drop before the pick-up's pause is over stops the answers.
    sent.clear()
    reports.clear()
    c = Controller([5], [], (0.2, 0.0, 0.0), sent.append, reports.append, notes.append)
    c.on_line("dial 5\n")
    c.on_line("drop\n")
    time.sleep(0.3)
    assert sent == [], sent
    print("self-test passed")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(
        description="Start zul_stm_driver (or zul_stm_sim), give it the room lists and "
                    "answer its calls to imitated rooms.")
    parser.add_argument("--imitate", type=room_list, default=[], metavar="ROOMS",
                        help="rooms the program answers, comma-separated (e.g. 5,6)")
    parser.add_argument("--blacklist", type=room_list, default=[], metavar="ROOMS",
                        help="rooms whose calls the program rejects")
    parser.add_argument("--pickup-after", type=float, default=1.0, metavar="S",
                        help="seconds from the dial line to code 1, pick up (default 1)")
    parser.add_argument("--open-after", type=float, default=1.0, metavar="S",
                        help="seconds from code 1 to code 2, open the door (default 1)")
    parser.add_argument("--hangup-after", type=float, default=3.0, metavar="S",
                        help="seconds from code 2 to code 3, hang up (default 3)")
    parser.add_argument("--verbose", action="store_true",
                        help="show the program's other lines on standard error")
    parser.add_argument("--self-test", action="store_true",
                        help="check the line parser and call tracking on canned lines")
    parser.add_argument("program", nargs=argparse.REMAINDER,
                        help="-- then the program and its arguments")
    args = parser.parse_args(argv[1:])
    if args.self_test:
        return self_test()
    if args.program and args.program[0] == "--":
        args.program = args.program[1:]
    if not args.program:
        parser.error("no program given: ... -- PROGRAM ARGS...")
    return run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
