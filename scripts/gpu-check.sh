#!/usr/bin/env bash
# The checks that need a real NVIDIA GPU: the GPU test binary (the device tests of the host build —
# device twins against the host, mining batches over small trees verified on the host — and our
# Philox against cuRAND's), then `corvane-miner --test` on the full tree; a summary at the end.
#   scripts/gpu-check.sh               builds with nvcc into build-gpu-check/
#   scripts/gpu-check.sh BUILD_DIR     uses an existing nvcc build directory (built if out of date)
# Exit status: 0 all passed, 1 a check failed or could not be built, 77 no GPU present (nothing run).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

GPU_TESTS_TIMEOUT=${CRV_GPU_TESTS_TIMEOUT:-180}
MINER_TEST_TIMEOUT=${CRV_MINER_TEST_TIMEOUT:-110}

summary=()
status=0
note() { summary+=("$(printf '%-14s %s' "$1" "$2")"); }
finish() {
    echo
    echo "== GPU check summary =="
    for line in "${summary[@]}"; do echo "$line"; done
    exit "$status"
}

device=""
if command -v nvidia-smi >/dev/null 2>&1; then
    device=$(nvidia-smi --query-gpu=name,memory.total --format=csv,noheader 2>/dev/null | head -n 1)
fi
if [ -z "$device" ]; then
    echo "No NVIDIA GPU found (nvidia-smi lists none): nothing to check here."
    note "device:" "none"
    note "result:" "SKIPPED (no GPU)"
    status=77
    finish
fi
note "device:" "$device"

build_dir=${1:-build-gpu-check}
if [ -f "$build_dir/CMakeCache.txt" ]; then
    configure=(cmake -S . -B "$build_dir")  # keeps the directory's own settings, finds new targets
else
    configure=(cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCRV_BUILD_BENCH=OFF)
fi
if ! "${configure[@]}" >/dev/null; then
    note "build:" "FAILED (cmake)"
    status=1
    finish
fi
# The GPU test binary and the product exist only where CMake enabled CUDA (nvcc).
if ! compgen -G "$build_dir/CMakeFiles/*/CMakeCUDACompiler.cmake" >/dev/null; then
    note "build:" "FAILED ($build_dir is not an nvcc build)"
    status=1
    finish
fi
targets=(corvane_gpu_tests)
if [ -f src/cli/main.cpp ]; then targets+=(corvane-miner); fi
build_start=$SECONDS
if ! cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"; then
    note "build:" "FAILED"
    status=1
    finish
fi
note "build:" "ok ($((SECONDS - build_start)) s: ${targets[*]})"

log=$(mktemp)
trap 'rm -f "$log"' EXIT

start=$SECONDS
timeout "$GPU_TESTS_TIMEOUT" "$build_dir/tests/corvane_gpu_tests" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
passed=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
failed=$(grep -oE '^\[  FAILED  \] [0-9]+ tests?' "$log" | grep -oE '[0-9]+' | tail -n 1)
skipped=$(grep -oE '^\[  SKIPPED \] [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
counts="${passed:-0} passed, ${failed:-0} failed, ${skipped:-0} skipped"
if [ "$rc" -eq 0 ] && [ "${passed:-0}" -eq 0 ]; then
    note "gpu tests:" "FAIL (nothing ran: $counts; the GPU is not usable from CUDA)"
    status=1
elif [ "$rc" -eq 0 ]; then
    note "gpu tests:" "PASS ($counts, $((SECONDS - start)) s)"
elif [ "$rc" -eq 124 ]; then
    note "gpu tests:" "FAIL (timed out after $GPU_TESTS_TIMEOUT s)"
    status=1
else
    note "gpu tests:" "FAIL ($counts, status $rc, $((SECONDS - start)) s)"
    status=1
fi

if [ -x "$build_dir/corvane-miner" ]; then
    start=$SECONDS
    timeout "$MINER_TEST_TIMEOUT" "$build_dir/corvane-miner" --test 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    matches=$(grep -c '✓' "$log")
    mismatches=$(grep -c '✗' "$log")
    if [ "$rc" -eq 0 ]; then
        note "miner --test:" "PASS ($matches ✓, $mismatches ✗, $((SECONDS - start)) s)"
    else
        note "miner --test:" "FAIL (status $rc, $matches ✓, $mismatches ✗, $((SECONDS - start)) s)"
        status=1
    fi
else
    note "miner --test:" "not run (no corvane-miner in $build_dir)"
fi

note "result:" "$([ "$status" -eq 0 ] && echo PASS || echo FAIL)"
finish
