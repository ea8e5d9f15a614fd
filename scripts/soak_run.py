#!/usr/bin/env python3
"""The soak run (scripts/soak.sh): the emulated miner against the scripted bridge for a while.

Acts as the miner's supervisor: starts the miner before the first bridge (the start-up retry window
must carry it over), a fresh bridge process every `bridge_s` seconds with a gap in between (the
miner reconnects), device faults through CRV_EMU_FAULT (a different set for each miner process; a
lost device ends the process with status 3 and the miner is started again, as a supervisor would),
VmRSS sampled every few seconds. Then Ctrl-C, and the report: solutions sent and verified by the
bridge, reconnects, memory at start and end, and every output line outside the allowlist. Exit
status 1 when a check fails. `--report DIR` reports on an earlier run again.
"""
import argparse
import collections
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE_LOST_STATUS = 3

# Per miner process: non-sticky faults first (an allocation failure in a buffer build, a launch that
# is refused, a kernel that fails without losing the context, a failed copy), then for the first
# process an illegal address (context lost). N counts calls of that operation in the process.
FAULTS = ["malloc:40:2 launch:150:701 kernel:250:999 kernel:420:700 kernel:470:700 kernel:520:700",
          "launch:300:701 kernel:700:999 memcpy:1500:999 malloc:400:2",
          ""]

# The runtime's texts of the injected codes (2, 701, 999, 700).
INJECTED = r"(out of memory|too many resources requested for launch|unknown error|an illegal memory access was encountered)"
LOST = re.compile(r"\[ERR\]\[([^\]]+)\] an illegal memory access was encountered")

# Lines the miner may print (full match), by stream. Everything else is reported. A range that ends
# within its first millisecond shows an infinite rate, as the driver documents.
ALLOWED = {
    "out": [
        r"", r"🌊 Corvane CUDA Miner - GPU \d+ - Bridge 127\.0\.0\.1:\d+", r"✅ Connected to miner bridge at 127\.0\.0\.1:\d+",
        r"🔄 Bridge puzzle fetcher (started|stopped)", r"📤 Sent: .*", r"📥 Raw response: .*", r"📥 Message type: .*",
        r"🎯 Received puzzle with ID: s\d{5}-.*", r"🎯 Threshold: \"[0-9a-f]{80}\"",
        r"🔄 New puzzle detected from bridge! ID: s\d{5}-[0-9a-f]{9}\.\.\.", r"🔄 New puzzle: s\d{5}-[0-9a-f]{9}\.\.\.",
        r"🔄 New puzzle detected, resetting nonce offset to: \d+", r"=== STARTING GPU PREPROCESSING ===",
        r"Threshold: [0-9a-f]{80}", r"Target: 0x[0-9a-f]+", r"Mining mode: leaves (stored in GPU memory|computed on the fly)",
        r"♻️ Same authentication paths: mining on with the guesser buffer already built",
        r"SOLUTION FOUND at nonce \d+!", r"Performance: ([\d.]+|inf) M nonces/sec", r"🎉 SOLUTION FOUND!",
        r"🎉 SOLUTION FOUND! Nonce: \d+ \(time: \d+ ms\)", r"📤 Submitting POW solution to miner bridge\.\.\.",
        r"📤 Proposal ID: s\d{5}-[0-9a-f]{9}\.\.\.", r"✅ Solution submitted to miner bridge successfully!",
        r"🎉 Solution found for puzzle! Continuing to mine for more solutions\.\.\.",
        r"🔄 New puzzle detected during mining, switching\.\.\.", r"🔄 Mining interrupted, continuing in main loop\.\.\.",
        r"No solution found after \d+ nonces \(time: \d+ ms, ([\d.]+|inf) M nonces/sec\)",
        r"📊 (Status|Final status): [\d.]+ M nonces/s, \d+ candidates, solutions \d+ found / \d+ submitted / \d+ failed "
        r"verification, puzzle .*, bridge (connected|disconnected), up \d\d:\d\d:\d\d",
        r"🛑 Stop mining event received", r"Received signal 2\. Shutting down gracefully\.\.\.",
        r"=== MINING SESSION COMPLETED ===", r"Total solutions found: \d+", r"📡 Disconnected from miner bridge",
        r"Cleaning up (GPU memory|current mining buffer)\.\.\.", r"GPU memory status after cleanup:",
        r"  (Used|Total|Free): \d+ MB", r"✓ GPU memory cleanup completed successfully",
        r"❌ Bridge error: No puzzle available", r"✅ Solution sent to miner bridge",
        r"📨 Bridge verdict on the solution for puzzle s\d{5}-[0-9a-f]{9}\.\.\.: .*",
    ],
    "err": [
        r"(\[ERR\]\[[^\]]+\] |CUDA malloc failed for \w+: |(Solution found|Solution nonce|Solution nonce digest|Path A|"
        r"Path B) copy error: )" + INJECTED,
        r"❌ The GPU's context is lost \(an illegal memory access was encountered\): nothing more can run on it in "
        r"this process; stopping with exit status 3 so that the miner can be restarted",
        r"✗ GPU preprocessing failed!",
        r"❌ (Connection closed by bridge|Failed to send message \(.*\)|Connection to bridge failed \(.*\)|"
        r"Not connected to bridge); mining goes on, reconnecting to 127\.0\.0\.1:\d+ in [\d.]+ s",
        r"🔌 Connection attempt \d+ to miner bridge at 127\.0\.0\.1:\d+ failed \(.*\); next in [\d.]+ s",
        r"⚠️ Solution for puzzle s\d{5}-[0-9a-f]{9}\.\.\. kept: .*", r"⚠️ Dropped (a|the oldest) kept solution .*",
        r"❌ Failed to submit solution to miner bridge",
    ],
}
TRAFFIC = re.compile(r"(📤 Sent: \{\"RequestPuzzle\"|📥 Raw response: |📥 Message type: |🎯 Received puzzle|🎯 Threshold: )")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return None


class Run:
    def __init__(self, args):
        self.args, self.dir = args, args.out
        os.makedirs(self.dir, exist_ok=True)
        for name in os.listdir(self.dir):  # what an earlier run left there
            if name == "journal.jsonl" or name == "run.json" or name.startswith("miner-"):
                os.remove(os.path.join(self.dir, name))
        self.port, self.epoch = free_port(), time.time() + 3
        self.journal = os.path.join(self.dir, "journal.jsonl")
        self.miners, self.exits, self.samples = [], [], []
        scale = max(0.1, args.minutes / 10)
        self.faults = [" ".join(re.sub(r":(\d+):", lambda m: ":%d:" % max(2, int(int(m.group(1)) * scale)), f, 1)
                                for f in set_.split()) for set_ in FAULTS]

    def start_miner(self):
        i = len(self.miners)
        mining = ("tree_height=%d range=4096 batch=256 range_pause_ms=1 fetch_pause_ms=500 receive_timeout_ms=2000 "
                  "status_ms=20000 start_window_ms=15000 backoff_ms=500 backoff_cap_ms=4000" % self.args.tree_height)
        env = dict(os.environ, CRV_EMU_DEVICE_COUNT="1", CRV_EMU_MINING=mining,
                   CRV_EMU_FAULT=self.faults[min(i, len(self.faults) - 1)])
        env.pop("CRV_DEBUG", None)
        out = open(os.path.join(self.dir, "miner-%d.out" % i), "w")
        err = open(os.path.join(self.dir, "miner-%d.err" % i), "w")
        proc = subprocess.Popen([self.args.miner, "--port", str(self.port)], stdout=out, stderr=err, env=env)
        self.miners.append({"proc": proc, "started": time.time() - self.epoch, "faults": env["CRV_EMU_FAULT"]})

    def start_bridge(self, j, duration):
        return subprocess.Popen([sys.executable, os.path.join(HERE, "soak_bridge.py"), "--port", str(self.port),
                                 "--epoch", str(self.epoch), "--duration", str(duration), "--incarnation", str(j),
                                 "--switch-s", str(self.args.switch_s), "--tree-height", str(self.args.tree_height),
                                 "--difficulty", str(self.args.difficulty), "--verifier", self.args.verifier,
                                 "--journal", self.journal, "--no-work-s", "0" if j % 2 else "2"])

    def run(self):
        a = self.args
        end = self.epoch + 60 * a.minutes
        self.start_miner()
        time.sleep(3)  # the miner waits for a bridge that is not there yet
        bridge, j, next_bridge, next_sample = None, 0, time.time(), 0
        while time.time() < end:
            now = time.time()
            if bridge is None and now >= next_bridge:
                last = end - now < a.bridge_s + a.gap_s + 10
                bridge = self.start_bridge(j, end - now + 60 if last else a.bridge_s)
                j += 1
            elif bridge is not None and bridge.poll() is not None:
                # Every other restart is quick, with work at once: the kept solutions' puzzles may still be current.
                bridge, next_bridge = None, now + (1.0 if j % 2 else a.gap_s)
            miner = self.miners[-1]
            status = miner["proc"].poll()
            if status is not None and "ended" not in miner:
                miner["ended"] = now
                self.exits.append({"miner": len(self.miners) - 1, "status": status, "t": round(now - self.epoch, 1)})
            if "ended" in miner and now - miner["ended"] >= 1:  # a supervisor's pause before the restart
                self.start_miner()
                miner = self.miners[-1]
            if now >= next_sample:
                kb = rss_kb(miner["proc"].pid)
                if kb is not None:
                    self.samples.append({"miner": len(self.miners) - 1, "t": round(now - self.epoch, 1), "kb": kb})
                next_sample = now + 5
            time.sleep(0.25)
        proc = self.miners[-1]["proc"]
        if "ended" not in self.miners[-1]:
            proc.send_signal(signal.SIGINT)
            try:
                status = proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                status = "killed: no exit within 30 s of SIGINT"
            self.exits.append({"miner": len(self.miners) - 1, "status": status,
                               "t": round(time.time() - self.epoch, 1), "final": True})
        if bridge is not None:
            bridge.terminate()
            bridge.wait()
        with open(os.path.join(self.dir, "run.json"), "w") as f:
            json.dump({"args": vars(a), "epoch": self.epoch, "exits": self.exits, "samples": self.samples,
                       "miners": [{k: v for k, v in m.items() if k not in ("proc", "ended")} for m in self.miners]}, f, indent=1)


def report(directory):
    with open(os.path.join(directory, "run.json")) as f:
        run = json.load(f)
    args, failures = run["args"], []
    entries = [json.loads(line) for line in open(os.path.join(directory, "journal.jsonl"))]
    subs = [e for e in entries if e["kind"] == "submission"]
    ok = [s for s in subs if s["verdict"] == "ok"]
    by_id = collections.Counter(s["id"] for s in subs)
    served = sorted({e["k"] for e in entries if e["kind"] == "served"})
    bridges = sorted({e["bridge"] for e in entries if e["kind"] == "bridge_start"})
    connects = collections.Counter(e["bridge"] for e in entries if e["kind"] == "connect")
    stale = [s for s in subs if s["late_s"]]
    print("soak: %.1f min, bridge restarted every %d s, puzzles every %.1f s, tree height %d"
          % (args["minutes"], args["bridge_s"], args["switch_s"], args["tree_height"]))
    print("puzzles announced: %d (ids s%05d..s%05d); ids with a verified solution: %d"
          % (len(served), served[0] if served else 0, served[-1] if served else 0, len({s["id"] for s in ok})))

    lines = {"out": [], "err": []}
    for i in range(len(run["miners"])):
        for stream in lines:
            with open(os.path.join(directory, "miner-%d.%s" % (i, stream)), errors="replace") as f:
                lines[stream] += [line.rstrip("\n") for line in f]
    sent = sum(1 for line in lines["out"] if line.startswith("📤 Submitting POW solution"))
    # A solution is known by the start of its nonce, which the miner's cut "📤 Sent: " line still shows.
    head = '📤 Sent: {"SubmitSolution":{"pow":{"nonce":"'
    sent_nonces = [line[len(head):len(head) + 48] for line in lines["out"] if line.startswith(head)]
    received = {json.loads(s["line"])["SubmitSolution"]["pow"]["nonce"][:48] for s in subs if "line" in s}
    lost = [n for n in sent_nonces if n not in received]
    kept = [line.split()[4][:16] for line in lines["err"] if " kept: " in line]
    delivered = {s["id"][:16] for s in subs} & set(kept)
    print("solutions: %d submission attempts by the miner (failed sends included), %d received by the bridge, %d verified ok, %d failed, "
          "%d for a puzzle already replaced (latest %.1f s after)"
          % (sent, len(subs), len(ok), len(subs) - len(ok), len(stale), max([s["late_s"] for s in stale] or [0])))
    for s in subs:
        if s["verdict"] != "ok":
            failures.append("submission for %s at %.1f s: %s" % (s["id"][:16], s["t"], s["verdict"]))
        elif s["late_s"] > 15:
            failures.append("submission for %s %.1f s after it was replaced" % (s["id"][:16], s["late_s"]))
    for puzzle_id, n in by_id.items():
        if n > 1:
            failures.append("%d submissions for puzzle %s" % (n, puzzle_id[:16]))
    if not ok:
        failures.append("no verified solution")
    print("solutions kept while disconnected: %d, of them sent after the reconnect: %d; sent lines never received "
          "by a bridge: %d%s" % (len(kept), len(delivered), len(lost), (" (nonces " + ", ".join(n[:16] for n in lost) + ")") if lost else ""))

    print("bridge processes: %d; miner connections per bridge: %s" % (len(bridges), dict(sorted(connects.items()))))
    connected = [sum(1 for line in open(os.path.join(directory, "miner-%d.out" % i), errors="replace")
                     if line.startswith("✅ Connected to miner bridge")) for i in range(len(run["miners"]))]
    print("reconnects: %d by the miner's lines (connections per miner process: %s), %d by the bridges' count"
          % (sum(max(0, n - 1) for n in connected), connected, sum(connects.values()) - sum(1 for n in connected if n)))
    for b in bridges:  # the first one too: the miner, started before it, waits for it
        if connects[b] == 0:
            failures.append("the miner never connected to bridge process %d" % b)

    for i in range(len(run["miners"])):
        with open(os.path.join(directory, "miner-%d.err" % i), errors="replace") as f:
            err = [line.rstrip("\n") for line in f]
        status = next((e["status"] for e in run["exits"] if e["miner"] == i), None)
        for n, line in enumerate(err):
            m = LOST.match(line)
            if not m:
                continue
            in_build = err[n + 1:n + 2] == ["✗ GPU preprocessing failed!"]
            print("miner %d lost the device context at [%s]%s" % (i, m.group(1), " during a buffer build" if in_build else ""))
            if status == DEVICE_LOST_STATUS:
                continue
            if in_build:  # the emulator fails that one call only; a GPU fails the device check after the build too
                print("  note: the injected fault does not stick on the emulator, so the miner's device check after "
                      "the failed build passes and mining goes on")
            else:
                failures.append("miner %d lost the device context at [%s] and went on (status %s)" % (i, m.group(1), status))
    for e in run["exits"]:
        print("miner %d ended at %.1f s with status %s%s (faults: %s)" % (e["miner"], e["t"], e["status"],
              " after Ctrl-C" if e.get("final") else "", run["miners"][e["miner"]]["faults"] or "none"))
        if e["status"] != (0 if e.get("final") else DEVICE_LOST_STATUS):
            failures.append("miner %d ended with status %s" % (e["miner"], e["status"]))

    by_miner = collections.defaultdict(list)
    for s in run["samples"]:
        by_miner[s["miner"]].append(s)
    longest = max(by_miner.values(), key=len) if by_miner else []
    settled = [s for s in longest if s["t"] - longest[0]["t"] >= 30] or longest
    if settled:
        first, last = settled[0], settled[-1]
        peak = max(s["kb"] for s in settled)
        print("resident memory of miner %d: %d KiB at %.0f s, %d KiB at %.0f s (peak %d KiB, %d samples)"
              % (first["miner"], first["kb"], first["t"], last["kb"], last["t"], peak, len(settled)))
        if last["kb"] - first["kb"] > max(1024, first["kb"] // 10):
            failures.append("resident memory grew from %d to %d KiB" % (first["kb"], last["kb"]))

    unexpected = collections.Counter()
    for stream, patterns in ALLOWED.items():
        compiled = [re.compile(p) for p in patterns]
        for line in lines[stream]:
            if not any(c.fullmatch(line) for c in compiled):
                unexpected[(stream, line)] += 1
    traffic = sum(1 for line in lines["out"] if TRAFFIC.match(line))
    polls = sum(1 for line in lines["out"] if line.startswith('📤 Sent: {"RequestPuzzle"'))
    print("per-poll traffic lines: %d for %d polls answered with a puzzle (%d request lines printed)"
          % (traffic, sum(1 for e in entries if e["kind"] == "served"), polls))
    # At most one reply's lines each time the reply changes: a new puzzle, a verdict and the puzzle
    # after it, "No puzzle available" and the puzzle after it at each bridge start.
    if traffic > 5 * (len(served) + 2 * len(subs) + 2 * len(bridges)) + 20:
        failures.append("polling is not quiet: %d traffic lines" % traffic)
    fault_line = re.compile(ALLOWED["err"][0])
    errors = collections.Counter(line for line in lines["err"] if fault_line.fullmatch(line))
    print("device error lines (injected faults): %d" % sum(errors.values()))
    for line, n in sorted(errors.items()):
        print("  %5d x %s" % (n, line))
    print("lines outside the allowlist: %d (%d distinct)" % (sum(unexpected.values()), len(unexpected)))
    for (stream, line), n in sorted(unexpected.items(), key=lambda item: -item[1])[:40]:
        print("  %5d x [%s] %s" % (n, stream, line[:160]))
    if unexpected:
        failures.append("%d lines outside the allowlist" % sum(unexpected.values()))
    for f in failures:
        print("FAIL: " + f)
    print("soak: %s" % ("FAILED" if failures else "passed"))
    return 1 if failures else 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--minutes", type=float, default=10)
    p.add_argument("--bridge-s", type=int, default=60, help="life of each bridge process")
    p.add_argument("--gap-s", type=float, default=3, help="time without a bridge between two (every other restart: 1 s)")
    p.add_argument("--switch-s", type=float, default=4, help="a new puzzle id this often")
    p.add_argument("--difficulty", type=int, default=2000)
    p.add_argument("--tree-height", type=int, default=10)
    p.add_argument("--miner", default="build-host/tests/corvane-miner-emu")
    p.add_argument("--verifier", default="build-host/tests/soak-verify")
    p.add_argument("--out", default="build-host/soak")
    p.add_argument("--report", metavar="DIR", help="only report on the run in DIR")
    args = p.parse_args()
    if not args.report:
        Run(args).run()
    sys.exit(report(args.report or args.out))


if __name__ == "__main__":
    main()
