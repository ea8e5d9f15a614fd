#!/usr/bin/env bash
# Installs what is needed, builds everything (nvcc included when present) and runs the test suite.
#   scripts/test.sh                 normal build in build/
#   CRV_SANITIZE=address scripts/test.sh   ASan+UBSan host build in build-address/
#   CRV_SANITIZE=thread  scripts/test.sh   TSan host build in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sanitize="${CRV_SANITIZE:-}"
dir="build${sanitize:+-$sanitize}"
cmake -S . -B "$dir" -G Ninja -DCRV_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
