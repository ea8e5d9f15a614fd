#!/usr/bin/env bash
# The soak run: the emulated miner against a scripted bridge that switches puzzles every few
# seconds and is restarted every minute, with injected device faults; see scripts/soak_run.py.
#   bash scripts/soak.sh [--minutes 10] [--out DIR] [other soak_run.py options]
# Installs what is needed and builds what it needs in build-host (host build, no GPU). Exit status
# 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
command -v python3 >/dev/null || bash scripts/install-deps.sh python3
if [ ! -f build-host/build.ninja ]; then
  configure=(cmake -S . -B build-host -G Ninja -DCRV_WITH_CUDA=OFF)
  # ccache only where it is installed: a fresh machine has none.
  if command -v ccache >/dev/null 2>&1; then configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  "${configure[@]}" >/dev/null
fi
nice -n 5 ninja -C build-host corvane-miner-emu soak-verify >/dev/null
exec nice -n 5 python3 scripts/soak_run.py "$@"
