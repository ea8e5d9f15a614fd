#!/usr/bin/env python3
"""The miner on its real path for a while: a scripted bridge on 127.0.0.1 (soak_bridge.py) serves
puzzles with the validation test's paths on one block, a new id after each verified solution (the
miner keeps its buffer and goes on with the next range), with a threshold that gives a solution
about every --every seconds at --rate M candidates/s, or none at all (--never). Every submission is
checked by pow_verify.py (Python alone: the GPU machine has no compiler). Prints the miner's output,
then the solutions, the duty cycle and the mining rate (duty_cycle.py).

    mine_check.py --seconds 70 --rate 21.0 -- gpu-bin/corvane-miner
    CRV_EMU_MINING="tree_height=6 range=1024" mine_check.py --tree-height 6 --never -- build-host/tests/corvane-miner-emu
(`--port P` is added to the command). Exit status 1 when a solution failed verification, when none
was verified (unless --never), when no duty cycle could be measured or the miner did not end with
status 0 after its SIGINT.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from duty_cycle import DutyCycle, run_for  # noqa: E402
from pow_verify import P, to_hex  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def threshold(args):
    if args.never:
        return to_hex((0, 0, 0, 0, 0))  # element 0 would have to lie below zero
    # Element 4 decides nearly always: a hash meets it with probability top / p.
    top = int(P / (args.every * args.rate * 1e6))
    return to_hex((P - 1, P - 1, P - 1, P - 1, max(1, top)))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=70, help="the miner's run, buffer build included")
    p.add_argument("--rate", type=float, default=20.0, help="M candidates/s the threshold is set for")
    p.add_argument("--every", type=float, default=10.0, help="seconds between solutions at that rate")
    p.add_argument("--never", action="store_true", help="a puzzle nothing solves")
    p.add_argument("--tree-height", type=int, default=29)
    p.add_argument("--out", help="folder for the bridge's journal (default: a temporary one)")
    p.add_argument("--quiet", action="store_true", help="do not copy the miner's output")
    p.add_argument("command", nargs=argparse.REMAINDER, help="-- MINER [ARGS]")
    args = p.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        p.error("no miner command")
    out = args.out or tempfile.mkdtemp(prefix="mine-check-")
    os.makedirs(out, exist_ok=True)
    journal = os.path.join(out, "journal.jsonl")
    if os.path.exists(journal):
        os.remove(journal)
    port = free_port()
    bridge = subprocess.Popen([sys.executable, os.path.join(HERE, "soak_bridge.py"), "--port", str(port),
                               "--epoch", str(time.time()), "--duration", str(args.seconds + 120), "--no-work-s", "0",
                               "--tree-height", str(args.tree_height), "--threshold", threshold(args),
                               "--fixed-paths", "--advance-on-solution", "--block-every", "1000000000", "--verifier",
                               os.path.join(HERE, "pow_verify.py"), "--journal", journal])
    deadline = time.time() + 10
    while not listening(port) and time.time() < deadline and bridge.poll() is None:
        time.sleep(0.1)
    tool = DutyCycle()
    # A `timeout` around this script stops the miner and the bridge too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mine check: stopped by SIGTERM"))
    try:
        status = run_for(command + ["--port", str(port)], args.seconds, tool, None if args.quiet else sys.stdout)
        time.sleep(1)  # a verdict still being computed lands in the journal
    finally:
        bridge.terminate()
        bridge.wait()

    entries = []
    if os.path.exists(journal):
        entries = [json.loads(line) for line in open(journal)]
    subs = [e for e in entries if e["kind"] == "submission"]
    ok = [s for s in subs if s["verdict"] == "ok"]
    failures = ["solution for %s: %s" % (s["id"][:16], s["verdict"]) for s in subs if s["verdict"] != "ok"]
    if not args.never and not ok:
        failures.append("no verified solution in %.0f s" % args.seconds)
    if args.never and subs:
        failures.append("%d submissions for a puzzle nothing solves" % len(subs))
    if status != 0:
        failures.append("the miner ended with status %s" % status)
    print()
    print("mine check: %.0f s, tree height %d, threshold %s; solutions received %d, verified %d, failed %d"
          % (args.seconds, args.tree_height, "never met" if args.never else
             "one hit every %.0f s at %.3f M candidates/s" % (args.every, args.rate), len(subs), len(ok),
             len(subs) - len(ok)))
    lines, measured = tool.report()
    print("\n".join(lines))
    if not measured:
        failures.append("no duty cycle: fewer than two ranges ended")
    for f in failures:
        print("FAIL: " + f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
