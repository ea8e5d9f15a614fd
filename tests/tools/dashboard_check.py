"""The dashboard in a real browser (headless Chromium through Selenium): no script errors, every
value shown equals /summary's at the same snapshot, and each card's line gains points on refresh.

    dashboard_check.py BASE_URL                  a miner that serves its API at BASE_URL
    dashboard_check.py --serve PROGRAM [ARG...]  starts PROGRAM, which prints a line with
                                                 "http://HOST:PORT/" once it listens, checks it and
                                                 stops it
    dashboard_check.py --mine MINER [ARG...]     the same for a miner, given a bridge of its own on
                                                 127.0.0.1 (`--port P` is added) that serves one
                                                 puzzle nobody can solve

Prints "1 passed, 0 failed" or the reason and "0 passed, 1 failed"; the exit status says the same.
"""
import datetime
import json
import random
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

DEADLINE_S = 60  # a card's line gains a point every 10 s of mining
# Fields the page must show, whatever else it shows (the card fields for every card).
REQUIRED = ["version", "sequence", "rates.60s", "totals.candidates", "totals.solutions.found",
            "bridge.address", "bridge.connected", "puzzle.short_id", "puzzle.block"]
CARD_REQUIRED = ["state", "leaf_mode", "candidates", "solutions.found", "rates.60s", "telemetry.core_temperature_c",
                 "telemetry.memory_temperature_c", "telemetry.power_w", "telemetry.candidates_per_joule"]

# The page's formats (data-format), written again from their definition in the page's script.
def absent(value):
    return value is None


FORMATS = {
    "text": lambda v: "–" if absent(v) or v == "" else str(v),
    "count": lambda v: "–" if absent(v) else f"{v:,}",
    "rate": lambda v: "–" if absent(v) else f"{v / 1e6:.2f} M/s",
    "seconds": lambda v: "–" if absent(v) else f"{v:.1f} s",
    "bool": lambda v: "–" if absent(v) else ("yes" if v else "no"),
    "duration": lambda v: f"{int(v or 0) // 3600}:{int(v or 0) // 60 % 60:02d}:{int(v or 0) % 60:02d}",
    "time": lambda v: "–" if absent(v) else
    datetime.datetime.fromtimestamp(int(v), datetime.timezone.utc).strftime("%H:%M:%S UTC"),
    "celsius": lambda v: "–" if absent(v) else f"{v:.0f} °C",
    "watts": lambda v: "–" if absent(v) else f"{v:.0f} W",
    "percent": lambda v: "–" if absent(v) else f"{v:.0f}%",
    "mhz": lambda v: "–" if absent(v) else f"{v:.0f} MHz",
    "number": lambda v: "–" if absent(v) else f"{round(v):,}",
}

# Every shown field at one instant (the page's script cannot run in between).
SHOWN = """return {
  fields: Array.from(document.querySelectorAll('[data-field]'),
                     el => [el.dataset.field, el.dataset.format, el.textContent]),
  lines: Object.fromEntries(Array.from(document.querySelectorAll('polyline[data-gpu]'),
                                       l => [l.dataset.gpu, l.points.numberOfItems])),
  rows: Array.from(document.querySelectorAll('tr[data-gpu]'), r => r.dataset.gpu)};"""


def pick(data, path):
    for key in path.split("."):
        if data is None:
            return None
        data = data[int(key)] if isinstance(data, list) else data.get(key)
    return data


def summary(base):
    with urllib.request.urlopen(base + "summary", timeout=5) as reply:
        return json.load(reply)


def wait_for(what, condition, deadline):
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.2)  # polling the page; the deadline decides
    raise AssertionError(f"timed out waiting for {what}")


def check(base):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        deadline = time.monotonic() + DEADLINE_S
        driver.get(base + "?refresh=0.5")

        # The page and /summary at the same snapshot: read both until their sequences agree.
        def same_snapshot():
            shown = driver.execute_script(SHOWN)
            data = summary(base)
            texts = {field: text for field, _, text in shown["fields"]}
            return (shown, data) if texts.get("sequence") == FORMATS["count"](data["sequence"]) else None
        shown, data = wait_for("the page to show the current snapshot", same_snapshot, deadline)
        fields = {field for field, _, _ in shown["fields"]}
        required = REQUIRED + [f"gpus.{i}.{f}" for i in range(len(data["gpus"])) for f in CARD_REQUIRED]
        missing = [f for f in required if f not in fields]
        assert not missing, f"the page does not show {missing}"
        wrong = [(field, text, FORMATS[fmt](pick(data, field))) for field, fmt, text in shown["fields"]
                 if text != FORMATS[fmt](pick(data, field))]
        assert not wrong, f"shown differently from /summary (field, shown, expected): {wrong}"
        gpus = [str(gpu["index"]) for gpu in data["gpus"]]
        assert len(gpus) >= 2 and shown["rows"] == gpus, f"card rows {shown['rows']} for cards {gpus}"
        assert sorted(shown["lines"]) == sorted(gpus), f"chart lines {shown['lines']} for cards {gpus}"
        for gpu in data["gpus"]:
            assert shown["lines"][str(gpu["index"])] == len(gpu["history"]), "a line is not its card's history"

        # Each line gains points with the next snapshots.
        before = shown["lines"]
        wait_for("every card's line to gain points",
                 lambda: all(n > before[gpu] for gpu, n in driver.execute_script(SHOWN)["lines"].items()),
                 deadline)

        errors = [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
        assert not errors, f"the browser logged {errors}"
    finally:
        driver.quit()


P = 2**64 - 2**32 + 1


def digest_text(rng):
    return "".join(rng.randrange(P).to_bytes(8, "little").hex() for _ in range(5))


class Bridge(socketserver.ThreadingTCPServer):
    """Answers every request line with the same puzzle: canonical paths, a threshold of zero."""
    daemon_threads = True

    def __init__(self):
        rng = random.Random(7)
        paths = {"pow": [digest_text(rng) for _ in range(3)], "header": [digest_text(rng) for _ in range(2)],
                 "kernel": [digest_text(rng)]}
        puzzle = {"id": "dashboard-puzzle", "threshold": "0" * 80, "prev_block": "dashboard-block",
                  "total_guesser_reward": "1000", "auth_paths": paths}
        self.reply = (json.dumps({"msg_type": "pow_puzzle_v1", "puzzle": puzzle}) + "\n").encode()

        class Handler(socketserver.StreamRequestHandler):
            def handle(handler):
                for _ in handler.rfile:
                    handler.wfile.write(self.reply)

        super().__init__(("127.0.0.1", 0), Handler)


def serve_and_check(command):
    program = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        for line in program.stdout:  # until the line that names its address
            if "http://" in line:
                # The rest is read and dropped, so that the program never waits on a full pipe.
                threading.Thread(target=program.stdout.read, daemon=True).start()
                check(line[line.find("http://"):].split()[0])
                return
        raise AssertionError(f"{command[0]} ended without naming its address")
    finally:
        program.terminate()
        program.wait(timeout=10)


def main():
    try:
        if sys.argv[1:2] == ["--serve"]:
            serve_and_check(sys.argv[2:])
        elif sys.argv[1:2] == ["--mine"]:
            with Bridge() as bridge:
                threading.Thread(target=bridge.serve_forever, daemon=True).start()
                serve_and_check(sys.argv[2:] + ["--port", str(bridge.server_address[1])])
                bridge.shutdown()
        else:
            base = sys.argv[1]
            check(base if base.endswith("/") else base + "/")
    except AssertionError as failure:
        print(f"dashboard check failed: {failure}")
        print("0 passed, 1 failed")
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
