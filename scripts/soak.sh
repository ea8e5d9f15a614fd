#!/usr/bin/env bash
# The soak run: the emulated miner against a scripted bridge that switches puzzles every few
# seconds and is restarted every minute, with injected device faults; see scripts/soak_run.py.
#   bash scripts/soak.sh [--minutes 10] [--out DIR] [other soak_run.py options]
# Builds what it needs in build-host (host build, no GPU). Exit status 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build-host/build.ninja ]; then
  cmake -S . -B build-host -G Ninja -DCRV_WITH_CUDA=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
fi
nice -n 5 ninja -C build-host corvane-miner-emu soak-verify >/dev/null
exec nice -n 5 python3 scripts/soak_run.py "$@"
