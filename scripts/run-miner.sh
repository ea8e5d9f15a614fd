#!/usr/bin/env bash
# Installs what is needed, builds the miner and starts it with its defaults (bridge 127.0.0.1:5002,
# GPU 0). Extra arguments are passed to the miner.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCRV_BUILD_TESTS=OFF -DCRV_BUILD_BENCH=OFF >/dev/null
# The product target exists only where CMake found nvcc.
if ! compgen -G "build/CMakeFiles/*/CMakeCUDACompiler.cmake" >/dev/null; then
  echo "run-miner: no nvcc in build/ (CMake found none at /usr/local/cuda/bin or on PATH): install the NVIDIA" \
    "CUDA toolkit, then remove build/ and run this again" >&2
  exit 1
fi
cmake --build build -j "$(nproc)" --target corvane-miner
exec ./build/corvane-miner "$@"
