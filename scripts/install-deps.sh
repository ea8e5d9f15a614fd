#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, or with arguments just those packages.
# nvcc comes from the CUDA toolkit (/usr/local/cuda); without it only the emulated library and the
# tests are built.
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
# libboost-dev: Beast and Asio (header-only) for the HTTP API; python3-prometheus-client parses its
# metrics in the tests; chromium, chromium-driver and python3-selenium run the dashboard's browser check.
packages=(cmake ninja-build g++ nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  python3-prometheus-client chromium chromium-driver python3-selenium)
[ $# -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
if [ $# -eq 0 ] && [ ! -x /usr/local/cuda/bin/nvcc ] && ! command -v nvcc >/dev/null; then
  echo "note: nvcc not found; install the NVIDIA CUDA toolkit to build corvane-miner" >&2
fi
