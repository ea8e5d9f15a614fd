#!/usr/bin/env python3
"""Scripted miner bridge of the soak run; Python 3 standard library only.

One bridge process: scripts/soak_run.py starts a new one every minute. Puzzles follow the wall clock
from a shared epoch, so every process of a run announces the same puzzle at the same time: puzzle k
lives from epoch + k * switch_s, a new block every block_every puzzles, and two neighbouring ids of
a block share their paths (the miner may keep its buffer). With --advance-on-solution puzzle k is
instead the one after k verified solutions, all on one block; --fixed-paths gives every puzzle the
validation test's paths (whose full-height root the Python verifier knows) and --threshold a fixed
threshold (the GPU check's mining step). The first seconds of each process answer
"No puzzle available". Each submission is checked by the verifier tool (tests/tools/soak_verify.cpp)
against the puzzle announced under its id, journalled, and answered with a verdict line. After
`duration` seconds (and just after the next puzzle began) the process ends, closing its
connections (every other process resets them).
"""
import argparse
import hashlib
import json
import re
import socket
import struct
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from pow_verify import VALIDATION_PATHS

P = 2**64 - 2**32 + 1
TREE_PATH = 29


def digest_hex(elements):
    return "".join(struct.pack("<Q", e).hex() for e in elements)


def digest_from(*words):
    """Five canonical elements drawn from the words (a keyed hash, so every process agrees)."""
    raw = hashlib.sha256("/".join(str(w) for w in words).encode()).digest()
    raw += hashlib.sha256(raw).digest()
    return [struct.unpack("<Q", raw[8 * i:8 * i + 8])[0] % P for i in range(5)]


class Schedule:
    def __init__(self, args):
        self.epoch, self.switch_s, self.block_every = args.epoch, args.switch_s, args.block_every
        self.seed, self.fixed_paths = args.seed, args.fixed_paths
        self.threshold = args.threshold or digest_hex([P - 1] * 4 + [P // args.difficulty])

    def index_at(self, t):
        return max(0, int((t - self.epoch) // self.switch_s))

    def puzzle(self, k):
        block = k // self.block_every
        paths_of = (self.seed, block, (k % self.block_every) // 2)
        d = lambda *w: digest_hex(digest_from(*paths_of, *w))
        if self.fixed_paths:
            d = lambda part, i: VALIDATION_PATHS[{"pow": 0, "header": 3, "kernel": 5}[part] + i]
        return {
            "id": "s%05d-%s" % (k, hashlib.sha256(("%s/%d" % (self.seed, k)).encode()).hexdigest()[:40]),
            "prev_block": digest_hex(digest_from(self.seed, "block", block)),
            "threshold": self.threshold,
            "total_guesser_reward": "1000",
            "auth_paths": {"pow": [d("pow", i) for i in range(3)], "header": [d("header", i) for i in range(2)],
                           "kernel": [d("kernel", 0)]},
        }

    @staticmethod
    def index_of(puzzle_id):
        m = re.match(r"s(\d{5})-", puzzle_id)
        return int(m.group(1)) if m else None


class Bridge:
    def __init__(self, args):
        self.args, self.schedule = args, Schedule(args)
        self.started = time.time()
        self.lock = threading.Lock()
        self.journal = open(args.journal, "a")
        self.verifier = subprocess.Popen([args.verifier], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.connections = []
        self.solved = 0  # verified solutions of the current puzzle's predecessors (--advance-on-solution)

    def record(self, **entry):
        entry["t"] = round(time.time() - self.schedule.epoch, 3)
        entry["bridge"] = self.args.incarnation
        with self.lock:
            self.journal.write(json.dumps(entry) + "\n")
            self.journal.flush()

    def verify(self, puzzle, pow_):
        paths = puzzle["auth_paths"]
        words = [str(self.args.tree_height), puzzle["threshold"], *paths["pow"], *paths["header"], *paths["kernel"],
                 pow_.get("root", ""), pow_.get("nonce", ""), *pow_.get("path_a", []), *pow_.get("path_b", [])]
        if any(not isinstance(w, str) or not w or " " in w for w in words):
            return "fail: malformed submission"
        with self.lock:
            self.verifier.stdin.write(" ".join(words) + "\n")
            self.verifier.stdin.flush()
            return self.verifier.stdout.readline().strip()

    def reply_to(self, line):
        now = time.time()
        try:
            message = json.loads(line)
        except ValueError:
            self.record(kind="unexpected", line=line[:200])
            return None
        if message == {"RequestPuzzle": None}:
            if now - self.started < self.args.no_work_s:
                return {"msg_type": "error", "message": "No puzzle available"}
            k = self.solved if self.args.advance_on_solution else self.schedule.index_at(now)
            self.record(kind="served", k=k)
            return {"msg_type": "pow_puzzle_v1", "puzzle": self.schedule.puzzle(k)}
        body = message.get("SubmitSolution") if isinstance(message, dict) else None
        if not isinstance(body, dict):
            self.record(kind="unexpected", line=line[:200])
            return None
        puzzle_id, pow_ = body.get("proposal_id", ""), body.get("pow", {})
        k = Schedule.index_of(puzzle_id) if isinstance(puzzle_id, str) else None
        if k is None or self.schedule.puzzle(k)["id"] != puzzle_id:
            verdict, late = "fail: unknown puzzle id", None
        else:
            verdict = self.verify(self.schedule.puzzle(k), pow_ if isinstance(pow_, dict) else {})
            # Seconds since a newer puzzle was announced under another id; 0 while it is current.
            late = max(0.0, now - (self.schedule.epoch + (k + 1) * self.args.switch_s))
            if self.args.advance_on_solution:
                with self.lock:
                    late = 0.0 if k == self.solved else None
                    self.solved += k == self.solved and verdict == "ok"
        self.record(kind="submission", id=puzzle_id, k=k, late_s=None if late is None else round(late, 3),
                    verdict=verdict, line=line)
        return {"msg_type": "solution_verdict", "proposal_id": puzzle_id, "verdict": verdict}

    def serve_connection(self, conn):
        buffer = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    answer = self.reply_to(line.decode("utf-8", "replace"))
                    if answer is not None:
                        conn.sendall((json.dumps(answer, separators=(",", ":")) + "\n").encode())
        except OSError:
            return

    def run(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.args.port))
        listener.listen(8)
        listener.settimeout(0.2)
        self.record(kind="bridge_start")
        # Ends just after a puzzle began, so that after a quick restart the puzzle is still the same one.
        end = self.started + self.args.duration
        if not self.args.advance_on_solution:
            end = self.schedule.epoch + (self.schedule.index_at(end) + 1) * self.args.switch_s + 0.3
        while time.time() < end:
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            self.record(kind="connect")
            self.connections.append(conn)
            threading.Thread(target=self.serve_connection, args=(conn,), daemon=True).start()
        listener.close()
        for conn in self.connections:
            try:
                if self.args.incarnation % 2:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                else:
                    conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        self.record(kind="bridge_stop")
        self.verifier.stdin.close()
        self.verifier.wait()


def main():
    s = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--epoch", type=float, required=True)
    s.add_argument("--duration", type=float, default=60)
    s.add_argument("--incarnation", type=int, default=0)
    s.add_argument("--switch-s", type=float, default=4)
    s.add_argument("--block-every", type=int, default=5)
    s.add_argument("--difficulty", type=int, default=2000, help="about one candidate in this many is a hit")
    s.add_argument("--tree-height", type=int, required=True)
    s.add_argument("--no-work-s", type=float, default=2)
    s.add_argument("--seed", default="soak")
    s.add_argument("--threshold", help="every puzzle's threshold (80 hex digits) instead of --difficulty's")
    s.add_argument("--fixed-paths", action="store_true", help="the validation test's paths for every puzzle")
    s.add_argument("--advance-on-solution", action="store_true", help="a new puzzle id after each verified solution")
    s.add_argument("--verifier", required=True)
    s.add_argument("--journal", required=True)
    Bridge(s.parse_args()).run()


if __name__ == "__main__":
    main()
