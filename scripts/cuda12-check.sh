#!/usr/bin/env bash
# The kernels under CUDA 12's code generator, without a CUDA 12 toolkit: PyPI's CUDA 12.9 compiler
# wheel (nvidia-cuda-nvcc-cu12) holds ptxas, libNVVM and the device headers, but neither the nvcc
# driver nor its C++ front end. So the installed nvcc (CUDA 13) writes each kernel source's PTX for
# every architecture, its ISA version line lowered to CUDA 12.9's (the kernels use no newer PTX), and
# CUDA 12.9's ptxas assembles it: every product kernel must assemble with no spills and a stack of at
# most 256 bytes. What a CUDA 12.4 - 12.9 build would get from its own front end is the same C++17
# the CUDA 13 build compiles.
#
#   scripts/cuda12-check.sh                  sm_80 sm_86 sm_89 sm_90 sm_100 sm_120
#   CRV_CUDA12_ARCHS="89 120" scripts/cuda12-check.sh
# Exit status: 0 all assembled within the limits, 1 a failure. Work files in build-cuda12-check/.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHS=(${CRV_CUDA12_ARCHS:-80 86 89 90 100 120})
SOURCES=(src/mining/mining_kernels.cu src/pow/guesser_buffer.cu)
PRODUCT_KERNELS="parallel_mining_kernel parallel_mining_kernel_previous parallel_mining_kernel_compact compute_merkle_paths_kernel window_step_kernel merkle_zip_kernel compute_final_hash_kernel"
PTX_ISA=8.8  # CUDA 12.9's
WORK=build-cuda12-check
WHEELS=.whl/cu12

NVCC=${CUDACXX:-$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)}
[ -x "$NVCC" ] || { echo "cuda12-check: nvcc not found (set CUDACXX)" >&2; exit 1; }
PTXAS12=$WHEELS/nvidia/cuda_nvcc/bin/ptxas
if [ ! -x "$PTXAS12" ]; then
    echo "cuda12-check: installing CUDA 12.9's ptxas into $WHEELS/" >&2
    python3 -m pip install --quiet --disable-pip-version-check --target "$WHEELS" "nvidia-cuda-nvcc-cu12==12.9.*" >&2
fi
"$PTXAS12" --version | grep -q "release 12\." || { echo "cuda12-check: $PTXAS12 is not CUDA 12's" >&2; exit 1; }

mkdir -p "$WORK"
check_one() {  # arch source: PTX by nvcc, assembled by CUDA 12's ptxas
    local arch=$1 source=$2
    local out="$WORK/$(basename "$source" .cu).sm_$arch"
    "$NVCC" -std=c++17 -O3 -arch=compute_"$arch" -ptx -Isrc -o "$out.ptx" "$source" || return 1
    sed -i "s/^\.version .*/.version $PTX_ISA/" "$out.ptx"
    "$PTXAS12" -O3 -arch=sm_"$arch" -v -o "$out.cubin" "$out.ptx" 2>"$out.ptxas" || { cat "$out.ptxas" >&2; return 1; }
}
export -f check_one
export NVCC PTXAS12 PTX_ISA WORK
jobs=()
for arch in "${ARCHS[@]}"; do for source in "${SOURCES[@]}"; do jobs+=("$arch $source"); done; done
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -L 1 bash -c 'check_one $0 $1' || { echo "cuda12-check: FAILED (compile)"; exit 1; }

python3 - "$WORK" "${ARCHS[*]}" "${SOURCES[*]}" "$PRODUCT_KERNELS" <<'PY'
import os, re, subprocess, sys

work, archs, sources, product = sys.argv[1], sys.argv[2].split(), sys.argv[3].split(), sys.argv[4].split()
failures = 0
for arch in archs:
    for source in sources:
        text = open(os.path.join(work, "%s.sm_%s.ptxas" % (os.path.basename(source)[:-3], arch))).read()
        for m in re.finditer(r"Compiling entry function '(\w+)'.*?(\d+) bytes stack frame, (\d+) bytes spill stores, "
                             r"(\d+) bytes spill loads.*?Used (\d+) registers", text, re.S):
            mangled, stack, stores, loads, regs = m.group(1), *map(int, m.groups()[1:])
            name = subprocess.run(["c++filt", mangled], capture_output=True, text=True).stdout.strip().split("(")[0]
            if name not in product:
                continue
            bad = stores or loads or stack > 256
            failures += bad
            print("sm_%-4s %-34s %3d registers, stack %4d, spills %d/%d%s" %
                  (arch, name, regs, stack, stores, loads, "  FAILED" if bad else ""))
print("cuda12-check: %s" % ("FAILED" if failures else "ok"))
sys.exit(1 if failures else 0)
PY
