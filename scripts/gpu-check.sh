#!/usr/bin/env bash
# The checks that need a real NVIDIA GPU, in two steps, so that the GPU machine needs nothing but
# the binaries and the NVIDIA driver:
#   scripts/gpu-check.sh build [BUILD_DIR]
#       where the toolchain and our packages are (nvcc, CMake, ninja, googletest, nlohmann-json):
#       an nvcc Release build in BUILD_DIR (default build-gpu-check/), then gpu-bin/ filled with
#       corvane-miner and corvane_gpu_tests alone. cudart, googletest and the C++ runtime are linked
#       in; the step checks that ldd lists only system libraries (cudart opens the driver's libcuda
#       at run time) and that the folder stays under 64 MiB, and records in gpu-bin/BUILD the
#       revision, the CUDA version of nvcc (what the driver must support) and the newest glibc used.
#   scripts/gpu-check.sh run [--dry-run]
#       on the GPU machine, with gpu-bin/ copied there; no compiler, no CMake, python3 only: first
#       the driver against the CUDA version the binaries were built with (13.x needs driver 580 or
#       newer, 12.x 525), then the GPU tests (device code against the host functions, mining batches
#       verified on the host, our Philox against cuRAND's; a test skipped on a GPU is a failure),
#       `corvane-miner --test` on the full tree, `corvane-miner --bench` with kernels previous,
#       compact and fast, leaves computed and stored, and the new/previous ratios; then the product mining
#       for CRV_MINE_SECONDS against a scripted bridge on 127.0.0.1 (scripts/mine_check.py: a
#       full-size puzzle solved about every 10 s at the bench's rate, every solution verified in
#       Python), with its duty cycle and rate beside the bench's; a summary at the end. The whole
#       run keeps within CRV_GPU_CHECK_BUDGET seconds (default 290). --dry-run checks the binaries
#       and lists the commands without running them.
#   scripts/gpu-check.sh [BUILD_DIR]
#       both steps on one machine.
# Environment: CRV_GPU_BIN (the folder, default gpu-bin), CRV_BENCH_SECONDS (mining time of each
# bench, default 10), CRV_MINE_SECONDS (the mining step's run, buffer build included, default 70),
# CRV_GPU_TESTS_TIMEOUT (90), CRV_MINER_TEST_TIMEOUT (60); CRV_MINE_TREE_HEIGHT (29) only for a
# rehearsal with a stand-in miner of another height.
# Exit status: 0 all passed, 1 a check failed, could not be built or the driver is too old, 2 usage,
# 77 no GPU present (nothing run).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

BIN=${CRV_GPU_BIN:-gpu-bin}
BIN_LIMIT_BYTES=$((64 << 20))
BUDGET=${CRV_GPU_CHECK_BUDGET:-290}
BENCH_SECONDS=${CRV_BENCH_SECONDS:-10}
MINE_SECONDS=${CRV_MINE_SECONDS:-70}
MINE_TREE_HEIGHT=${CRV_MINE_TREE_HEIGHT:-29}
GPU_TESTS_TIMEOUT=${CRV_GPU_TESTS_TIMEOUT:-90}
MINER_TEST_TIMEOUT=${CRV_MINER_TEST_TIMEOUT:-60}
PRODUCTS=(corvane-miner corvane_gpu_tests)
# What a binary may load besides itself: glibc's parts and the kernel's vDSO.
SYSTEM_LIBRARIES='^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|/lib64/ld-linux-x86-64\.so\.2|ld-linux-x86-64\.so\.2)$'

summary=()
status=0
reserve=0  # seconds of the budget kept back for the mining step
checked=0  # gpu-bin/ passed check_binaries
note() { summary+=("$(printf '%-26s %s' "$1" "$2")"); }
finish() {
    echo
    echo "== GPU check summary =="
    for line in "${summary[@]}"; do echo "$line"; done
    exit "$status"
}
fail() {
    note "$1" "$2"
    status=1
}

# Libraries a binary needs that are not glibc's, one per line; empty when there are none.
foreign_libraries() {
    ldd "$1" 2>/dev/null | awk '{print $1}' | grep -Ev "$SYSTEM_LIBRARIES"
}

# Checks gpu-bin/: both binaries present and executable, only system libraries, under the limit.
check_binaries() {
    local ok=0 name foreign bytes
    for name in "${PRODUCTS[@]}"; do
        if [ ! -x "$BIN/$name" ]; then
            fail "binaries:" "FAILED ($BIN/$name missing: run 'scripts/gpu-check.sh build' where nvcc and CMake are)"
            return 1
        fi
        foreign=$(foreign_libraries "$BIN/$name" | tr '\n' ' ')
        if [ -n "$foreign" ]; then
            fail "binaries:" "FAILED ($name needs ${foreign% }: not only system libraries)"
            ok=1
        fi
    done
    bytes=$(du -cb "$BIN" | tail -n 1 | cut -f 1)
    if [ "$bytes" -ge "$BIN_LIMIT_BYTES" ]; then
        fail "binaries:" "FAILED ($BIN/ holds $bytes bytes, the limit is $BIN_LIMIT_BYTES)"
        ok=1
    fi
    [ "$ok" -eq 0 ] || return 1
    # The newest glibc symbol version the build linked against, recorded by the build step: an
    # older glibc here would refuse to load the binaries.
    local needed have
    needed=$(grep -oE 'needs glibc [0-9.]+' "$BIN/BUILD" 2>/dev/null | grep -oE '[0-9.]+$')
    have=$(getconf GNU_LIBC_VERSION 2>/dev/null | awk '{print $2}')
    if [ -n "$needed" ] && [ -n "$have" ] && [ "$(printf '%s\n' "$needed" "$have" | sort -V | tail -n 1)" != "$have" ]; then
        fail "binaries:" "FAILED (built against glibc $needed, this machine has $have: build where glibc is $have or older)"
        return 1
    fi
    checked=1
    note "binaries:" "ok ($(du -sh "$BIN" | cut -f 1) in $BIN/, system libraries only; $(cat "$BIN/BUILD" 2>/dev/null))"
}

build_step() {
    local build_dir=$1
    if ! bash scripts/install-deps.sh >&2; then
        fail "build:" "FAILED (installing the build's packages)"
        return 1
    fi
    # The C++ runtime linked in, also into a directory configured before (the GPU machine's may
    # be older than ours).
    local configure=(cmake -S . -B "$build_dir" "-DCMAKE_EXE_LINKER_FLAGS=-static-libstdc++ -static-libgcc")
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        configure+=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCRV_BUILD_BENCH=OFF)
        if command -v ccache >/dev/null 2>&1; then
            configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_CUDA_COMPILER_LAUNCHER=ccache)
        fi
    fi
    if ! "${configure[@]}" >/dev/null; then
        fail "build:" "FAILED (cmake)"
        return 1
    fi
    # The GPU test binary and the product exist only where CMake enabled CUDA (nvcc).
    if ! compgen -G "$build_dir/CMakeFiles/*/CMakeCUDACompiler.cmake" >/dev/null; then
        fail "build:" "FAILED ($build_dir is not an nvcc build)"
        return 1
    fi
    local start=$SECONDS
    if ! cmake --build "$build_dir" -j "${CRV_BUILD_JOBS:-$(nproc)}" --target "${PRODUCTS[@]}"; then
        fail "build:" "FAILED"
        return 1
    fi
    note "build:" "ok ($((SECONDS - start)) s in $build_dir/)"
    rm -rf "$BIN" && mkdir -p "$BIN" || return 1
    cp "$build_dir/corvane-miner" "$build_dir/tests/corvane_gpu_tests" "$BIN/" || return 1
    local revision
    revision=$(git rev-parse --short HEAD 2>/dev/null)
    if [ -n "$revision" ] && [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
        revision="$revision with local changes"
    fi
    local glibc cuda
    glibc=$(objdump -T "${PRODUCTS[@]/#/$BIN/}" | grep -oE 'GLIBC_[0-9.]+' | sort -uV | tail -n 1)
    # The nvcc CMake chose, whose runtime is linked in: the driver must support its CUDA version.
    cuda=$(cat "$build_dir"/CMakeFiles/*/CMakeCUDACompiler.cmake 2>/dev/null |
        sed -nE 's/^set\(CMAKE_CUDA_COMPILER_VERSION "([0-9.]+)"\)$/\1/p' | head -n 1)
    echo "built from ${revision:-an unknown revision} on $(date -u '+%Y-%m-%d %H:%M UTC') with CUDA ${cuda:-unknown}, needs glibc ${glibc#GLIBC_}" >"$BIN/BUILD"
    check_binaries
}

# The driver the binaries need for the CUDA version in $BIN/BUILD (cudart is linked in, so the
# driver must support that major version): empty when the build did not record it.
needed_driver() {
    case "$(grep -oE 'with CUDA [0-9]+' "$BIN/BUILD" 2>/dev/null | grep -oE '[0-9]+$')" in
    13) echo 580 ;;
    12) echo 525 ;;
    11) echo 450.80.02 ;;
    esac
}

# Stops the run (status 1, one line) when the driver is older than the binaries need: every device
# call would fail and every device test would skip.
check_driver() {
    local driver cuda built needed
    driver=$(nvidia-smi --query-gpu=driver_version --format=csv,noheader 2>/dev/null | head -n 1 | tr -d ' ')
    cuda=$(nvidia-smi 2>/dev/null | grep -oE 'CUDA Version: [0-9.]+' | head -n 1 | grep -oE '[0-9.]+$')
    built=$(grep -oE 'with CUDA [0-9.]+' "$BIN/BUILD" 2>/dev/null | grep -oE '[0-9.]+$')
    needed=$(needed_driver)
    local found="driver ${driver:-unknown} (CUDA ${cuda:-unknown})"
    if [ -z "$needed" ] || [ -z "$driver" ]; then
        note "driver:" "$found; not compared: ${built:+CUDA $built has no known minimum}${built:-$BIN/BUILD names no CUDA version (built before it was recorded)}"
        return 0
    fi
    if [ "$(printf '%s\n' "$needed" "$driver" | sort -V | head -n 1)" != "$needed" ]; then
        echo "The NVIDIA driver $driver (CUDA ${cuda:-unknown}) is too old for these binaries: built with CUDA $built, they need driver $needed or newer. Update the driver, or build where an older CUDA toolkit is."
        fail "driver:" "FAILED ($found; CUDA $built needs $needed or newer)"
        finish
    fi
    note "driver:" "$found; CUDA $built needs $needed or newer: ok"
}

# Seconds left of the run's budget.
left() { echo $((BUDGET - (SECONDS - run_start))); }

# Runs a check under `timeout`, shorter when the budget is nearly spent (less $reserve seconds kept
# for the mining step); its output goes to the terminal and to $log. Returns the check's status
# (124 on a timeout, 125 when no time was left).
timed() {
    local limit=$1
    shift
    local remaining
    remaining=$(($(left) - reserve))
    [ "$limit" -le "$remaining" ] || limit=$remaining
    if [ "$limit" -lt 5 ]; then
        echo "(no time left in the ${BUDGET} s budget for: $*)" >"$log"
        return 125
    fi
    timeout "$limit" "$@" 2>&1 | tee "$log"
    return "${PIPESTATUS[0]}"
}

# Number after `key` on the line of $log that starts with `prefix`, e.g. field "Bench rate:" "".
bench_field() {
    grep -E "^$1" "$log" | tail -n 1 | grep -oE "$2" | grep -oE '[0-9]+(\.[0-9]+)?' | head -n 1
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "n/a" }'; }

# The mining step's command into mine_args: SECONDS of mining, the threshold set for RATE M
# candidates/s.
mine_command() {
    mine_args=(python3 scripts/mine_check.py --seconds "$1" --tree-height "$MINE_TREE_HEIGHT" --rate "$2"
        -- "$BIN/corvane-miner")
}

run_step() {
    local dry_run=$1
    local benches=()
    for leaves in computed stored; do
        for kernel in previous compact fast; do benches+=("$kernel $leaves"); done
    done
    if [ "$dry_run" = 1 ]; then
        [ "$checked" = 1 ] || check_binaries || finish
        echo "Would run, within ${BUDGET} s:"
        local needed
        needed=$(needed_driver)
        echo "  nvidia-smi --query-gpu=driver_version    (${needed:+needs $needed or newer: }$(
            grep -oE 'with CUDA [0-9.]+' "$BIN/BUILD" 2>/dev/null || echo "$BIN/BUILD names no CUDA version"))"
        echo "  $BIN/corvane_gpu_tests                  (timeout $GPU_TESTS_TIMEOUT s; a skipped test fails)"
        echo "  $BIN/corvane-miner --test               (timeout $MINER_TEST_TIMEOUT s)"
        for bench in "${benches[@]}"; do
            set -- $bench  # "KERNEL LEAVES"
            echo "  $BIN/corvane-miner --bench --seconds $BENCH_SECONDS --kernel $1 --leaves $2"
        done
        mine_command "$MINE_SECONDS" RATE
        echo "  ${mine_args[*]}   (RATE: the fast bench's)"
        python3 scripts/pow_verify.py --self-test | sed 's/^/  /'
        note "result:" "DRY RUN (nothing run)"
        finish
    fi

    local device=""
    if command -v nvidia-smi >/dev/null 2>&1; then
        device=$(nvidia-smi --query-gpu=name,memory.total --format=csv,noheader 2>/dev/null | head -n 1)
    fi
    if [ -z "$device" ]; then
        echo "No NVIDIA GPU found (nvidia-smi is missing or lists none): run this step on a machine with a GPU and its driver."
        note "device:" "none"
        note "result:" "SKIPPED (no GPU)"
        status=77
        finish
    fi
    note "device:" "$device"
    check_driver
    [ "$checked" = 1 ] || check_binaries || finish

    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    run_start=$SECONDS
    reserve=$((MINE_SECONDS + 30))  # kept for the mining step until it starts

    local start=$SECONDS rc
    timed "$GPU_TESTS_TIMEOUT" "$BIN/corvane_gpu_tests"
    rc=$?
    local passed failed skipped counts
    passed=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
    failed=$(grep -oE '^\[  FAILED  \] [0-9]+ tests?' "$log" | grep -oE '[0-9]+' | tail -n 1)
    skipped=$(grep -oE '^\[  SKIPPED \] [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
    counts="${passed:-0} passed, ${failed:-0} failed, ${skipped:-0} skipped"
    if [ "$rc" -eq 0 ] && [ "${passed:-0}" -eq 0 ]; then
        fail "gpu tests:" "FAIL (nothing ran: $counts; the GPU is not usable from CUDA)"
    elif [ "$rc" -eq 0 ] && [ "${skipped:-0}" -gt 0 ]; then
        # On a GPU nothing may skip: a skip means the tests found no usable device.
        fail "gpu tests:" "FAIL ($counts: a test skipped on a GPU; the GPU is not usable from CUDA)"
    elif [ "$rc" -eq 0 ]; then
        note "gpu tests:" "PASS ($counts, $((SECONDS - start)) s)"
    elif [ "$rc" -ge 124 ]; then
        fail "gpu tests:" "FAIL (stopped after $((SECONDS - start)) s: timeout or time budget)"
    else
        fail "gpu tests:" "FAIL ($counts, status $rc, $((SECONDS - start)) s)"
    fi

    start=$SECONDS
    timed "$MINER_TEST_TIMEOUT" "$BIN/corvane-miner" --test
    rc=$?
    local matches mismatches
    matches=$(grep -c '✓' "$log")
    mismatches=$(grep -c '✗' "$log")
    if [ "$rc" -eq 0 ]; then
        note "miner --test:" "PASS ($matches ✓, $mismatches ✗, $((SECONDS - start)) s)"
    else
        fail "miner --test:" "FAIL (status $rc, $matches ✓, $mismatches ✗, $((SECONDS - start)) s)"
    fi

    declare -A rate
    local bench kernel leaves build perms hits launch
    for bench in "${benches[@]}"; do
        set -- $bench  # "KERNEL LEAVES"
        kernel=$1 leaves=$2
        timed $((BENCH_SECONDS + 45)) "$BIN/corvane-miner" --bench --seconds "$BENCH_SECONDS" --kernel "$kernel" --leaves "$leaves"
        rc=$?
        build=$(bench_field "Bench build:" '[0-9.]+ s')
        rate[$bench]=$(bench_field "Bench rate:" '[0-9.]+ M candidates/s')
        perms=$(bench_field "Bench rate:" '[0-9.]+ M permutations/s')
        hits=$(grep -E '^Bench hits:' "$log" | tail -n 1 | sed -E 's/^Bench hits: ([0-9]+ verified, [0-9]+ failed).*/\1/')
        launch=$(grep -E '^Bench launch:' "$log" | tail -n 1 | sed -E 's/^Bench launch: //')
        if [ "$rc" -eq 0 ]; then
            note "bench $kernel/$leaves:" "${rate[$bench]} M candidates/s, $perms M permutations/s, build $build s, hits $hits"
            note "" "launch: ${launch:-unknown}"
        elif grep -q 'not building' "$log"; then
            note "bench $kernel/$leaves:" "not run (the buffer does not fit in this GPU's free memory)"
        else
            fail "bench $kernel/$leaves:" "FAIL (status $rc${hits:+, hits $hits})"
        fi
    done
    for leaves in computed stored; do
        local fast=${rate[fast $leaves]:-} reference=${rate[previous $leaves]:-} compact=${rate[compact $leaves]:-}
        if [ -n "$fast" ] && [ -n "$reference" ]; then
            note "new/previous:" "$(ratio "$fast" "$reference") candidates/s with leaves $leaves"
        fi
        if [ -n "$fast" ] && [ -n "$compact" ]; then
            note "fast/compact:" "$(ratio "$fast" "$compact") candidates/s with leaves $leaves (the hash shapes' worth)"
        fi
    done
    mine_step
    note "time:" "$((SECONDS - run_start)) s of the ${BUDGET} s budget"
    note "result:" "$([ "$status" -eq 0 ] && echo PASS || echo FAIL)"
    finish
}

# The product on its real path: default geometry, a scripted bridge, every solution verified. The
# threshold follows the rate of the fast bench with the leaves the product will store if it can.
mine_step() {
    reserve=0
    local expected=${rate[fast stored]:-${rate[fast computed]:-}} start=$SECONDS rc seconds
    # What the budget leaves, less the start-up, the shutdown and the last verification.
    seconds=$(($(left) - 25))
    [ "$seconds" -le "$MINE_SECONDS" ] || seconds=$MINE_SECONDS
    mine_command "$seconds" "${expected:-20}"
    timed $((seconds + 25)) "${mine_args[@]}"
    rc=$?
    local leaves=computed solutions duty bench
    grep -q '^Mining mode: leaves stored' "$log" && leaves=stored
    solutions=$(grep -E '^mine check: ' "$log" | sed -E 's/.*; solutions //')
    duty=$(grep -E '^duty cycle: ' "$log" | sed -E 's/^duty cycle: //')
    bench=${rate[fast $leaves]:-}
    local figures="${duty:-no duty cycle}; bench fast/$leaves: ${bench:-not run} M candidates/s; solutions ${solutions:-none}"
    if [ -z "$expected" ]; then
        figures="$figures; threshold set for 20 M candidates/s (no bench rate)"
    fi
    if [ "$rc" -eq 0 ]; then
        note "mining:" "PASS ($figures, $((SECONDS - start)) s)"
    elif [ "$rc" -ge 124 ]; then
        fail "mining:" "FAIL (stopped after $((SECONDS - start)) s: timeout or time budget; $figures)"
    else
        fail "mining:" "FAIL ($(grep -E '^FAIL: ' "$log" | sed 's/^FAIL: //' | paste -sd ';' -); $figures)"
    fi
}

case "${1:-}" in
build)
    build_step "${2:-build-gpu-check}"
    finish
    ;;
run)
    case "${2:-}" in
    "") run_step 0 ;;
    --dry-run) run_step 1 ;;
    *) echo "usage: $0 run [--dry-run]" >&2; exit 2 ;;
    esac
    ;;
-h | --help)
    sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
-*)
    echo "usage: $0 build [BUILD_DIR] | run [--dry-run] | [BUILD_DIR]" >&2
    exit 2
    ;;
*)
    build_step "${1:-build-gpu-check}" || finish
    run_step 0
    ;;
esac
