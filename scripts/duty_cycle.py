#!/usr/bin/env python3
"""How much of the wall time the miner's cards spend searching: its duty cycle.

Every range the miner searches ends in one line on standard output, with the range's own time:
    No solution found after N nonces (time: T ms, R M nonces/sec)
    🎉 SOLUTION FOUND! Nonce: N (time: T ms)          (after "Performance: R M nonces/sec")
("GPU n: " in front on a rig). Lines are timestamped as they arrive. Per card, the duty cycle is the
sum of T over the wall time between its first and its last such line; the first range's T is left
out, since it ran before that interval began, and so is the wait for new work after a solution
(from the solution's line to the start of the next range, its line's time less its T), which is
reported apart. The rate is the nonces of those ranges over the same time (a solved range's nonces
from its rate and time).

    MINER | duty_cycle.py                      the miner's output on stdin, live (a saved file has no timing)
    duty_cycle.py --seconds 30 -- COMMAND ...  runs COMMAND, stops it with SIGINT after 30 s
Prints "duty cycle: 97.3% over N ranges, X M nonces/s" (and one line per card on a rig); exit
status 1 when fewer than two ranges ended (nothing to measure).
"""
import argparse
import re
import signal
import subprocess
import sys
import threading
import time

PREFIX = re.compile(r"^(GPU \d+: )?")
NO_SOLUTION = re.compile(r"No solution found after (\d+) nonces \(time: (\d+) ms, ")
PERFORMANCE = re.compile(r"Performance: ([\d.]+|inf) M nonces/sec")
SOLVED = re.compile(r"🎉 SOLUTION FOUND! Nonce: \d+ \(time: (\d+) ms\)")


class DutyCycle:
    def __init__(self):
        self.cards = {}  # "GPU n: " or "" -> [(arrival, T in s, nonces, ended in a solution)]
        self.rate = {}   # the last "Performance:" rate of each card, for its solved range

    def feed(self, line, at):
        card = PREFIX.match(line).group(0)
        text = line[len(card):]
        m = PERFORMANCE.match(text)
        if m:
            self.rate[card] = float(m.group(1)) if m.group(1) != "inf" else 0.0
            return
        m = NO_SOLUTION.match(text)
        if m:
            nonces, millis = int(m.group(1)), int(m.group(2))
        else:
            m = SOLVED.match(text)
            if not m:
                return
            millis = int(m.group(1))
            nonces = int(self.rate.pop(card, 0.0) * 1000 * millis)
        entry = self.cards.setdefault(card, [])
        entry.append((at, millis / 1000.0, nonces, m.re is SOLVED))

    @staticmethod
    def measure(ranges):
        """(duty cycle, ranges, M nonces/s, seconds waited for work, solutions, seconds searching), or None
        below two ranges."""
        busy = counted = nonces = waited = 0.0
        for (before, _, _, solved), (at, seconds, n, _) in zip(ranges, ranges[1:]):
            wait = max(0.0, at - seconds - before) if solved else 0.0
            busy, counted, nonces, waited = busy + seconds, counted + at - before - wait, nonces + n, waited + wait
        if counted <= 0:
            return None
        return busy / counted, len(ranges), nonces / counted / 1e6, waited, sum(r[3] for r in ranges[:-1]), busy

    def report(self):
        """The summary lines, and whether every card had something to measure."""
        measured = {card: self.measure(ranges) for card, ranges in sorted(self.cards.items())}
        if not measured or None in measured.values():
            return ["duty cycle: not measured (%s)" % (", ".join(
                "%s%d ranges" % (card, len(self.cards[card])) for card in measured) or "no range ended")], False

        def text(duty, ranges, rate, waited, solutions, busy, cards=1):
            # The first range of each card is outside its interval: busy covers the others.
            wait = "; %.1f s waiting for new work after %d solution(s) left out" % (waited, solutions) if solutions else ""
            return "%.1f%% over %d ranges (%.0f ms each), %.4g M nonces/s%s" % (
                duty * 100, ranges, busy * 1000 / (ranges - cards), rate, wait)

        figures = list(measured.values())
        total = [sum(f[i] for f in figures) for i in range(6)]
        total[0] /= len(figures)  # the cards' mean; the rest adds up
        lines = ["duty cycle: " + text(*total, len(figures)) +
                 (" (mean of %d cards)" % len(figures) if len(figures) > 1 else "")]
        if len(figures) > 1:
            lines += ["  %sduty cycle %s" % (card, text(*f)) for card, f in measured.items()]
        return lines, True


def run_for(command, seconds, tool, echo=None, env=None):
    """Runs `command` for `seconds` (then SIGINT, and SIGKILL 30 s later), feeding its output to `tool`;
    returns its exit status."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, env=env, text=True, errors="replace", bufsize=1)

    def read():
        for line in proc.stdout:
            tool.feed(line.rstrip("\n"), time.monotonic())
            if echo:
                echo.write(line)
                echo.flush()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
    finally:  # also when this process is being stopped itself
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    reader.join(timeout=5)
    return proc.returncode


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=30, help="how long COMMAND runs")
    p.add_argument("--echo", action="store_true", help="copy the miner's output to standard error")
    p.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND ...: the miner to run")
    args = p.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    tool = DutyCycle()
    if command:
        run_for(command, args.seconds, tool, sys.stderr if args.echo else None)
    else:
        for line in sys.stdin:
            tool.feed(line.rstrip("\n"), time.monotonic())
    lines, ok = tool.report()
    print("\n".join(lines))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
