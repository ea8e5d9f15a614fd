#!/usr/bin/env bash
# Static kernel report, runnable without a GPU: compiles the kernel sources with nvcc for each
# architecture and prints
#   - per kernel: registers, stack frame, spill stores and loads (ptxas -v);
#   - per permutation: SASS instructions, in total and by kind (nvdisasm).
# A permutation is counted in a measuring kernel (bench/kernel_stats/permutation_kernels.cu) that
# calls it out of line: the instructions of the called function, from its label up to its RET, are
# one permutation, straight-line code run once per call. They include the call's own frame: the 16
# state words read from and written back to local memory (16 LDL, 16 STL) and the RET. Today's
# permutation is measured with its five rounds unrolled, its at-most-once reduction loops counted once.
#
#   scripts/kernel-stats.sh                  sm_89 and sm_90
#   CRV_STATS_ARCHS="90" scripts/kernel-stats.sh
# nvdisasm and cuobjdump are not part of every toolkit: when missing they are installed from PyPI
# (nvidia-cuda-nvdisasm, nvidia-cuda-cuobjdump, matching nvcc's major version) into .whl/.
# Work files go to build-kernel-stats/.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the report covers. Kernels: every entry function of these sources. Permutations:
# "label|source|kernel|function", function being the out-of-line callee inside that kernel (mangled
# names for C++ symbols). The product's fast kernels call the fast permutation with its state by
# value, in registers: no LDL/STL. The reference mining kernel calls today's permutation with its
# round loop rolled, so its static count is not a count per call: the `reference` row stands for it.
SOURCES=(
    bench/kernel_stats/permutation_kernels.cu
    src/mining/mining_kernels.cu
    src/pow/guesser_buffer.cu
)
PERMUTATIONS=(
    "reference|bench/kernel_stats/permutation_kernels.cu|measure_reference_permutation|reference_permutation"
    "fast (table in shared memory)|bench/kernel_stats/permutation_kernels.cu|measure_fast_permutation|fast_permutation"
    "fast (table in global memory)|bench/kernel_stats/permutation_kernels.cu|measure_fast_permutation_global_table|fast_permutation_global_table"
    "fast (table in constant memory)|bench/kernel_stats/permutation_kernels.cu|measure_fast_permutation_constant_table|fast_permutation_constant_table"
    "fast in parallel_mining_kernel|src/mining/mining_kernels.cu|_Z22parallel_mining_kernel12MiningParams|_ZN21CalledFastPermutation7permuteENS_5StateE"
    "fast in compute_merkle_paths_kernel|src/mining/mining_kernels.cu|_Z27compute_merkle_paths_kernel17MerklePathsParams|_ZN21CalledFastPermutation7permuteENS_5StateE"
)
ARCHS=(${CRV_STATS_ARCHS:-89 90})
WORK=build-kernel-stats

NVCC=${CUDACXX:-$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)}
[ -x "$NVCC" ] || { echo "kernel-stats: nvcc not found (set CUDACXX)" >&2; exit 1; }
# The report and the fetch of the tools need Python and pip, which a fresh machine lacks.
command -v python3 >/dev/null || bash scripts/install-deps.sh python3
cuda_major=$("$NVCC" --version | sed -n 's/.*release \([0-9]*\)\..*/\1/p')

find_tool() {
    local name=$1 candidate
    for candidate in "$(command -v "$name" || true)" "$(dirname "$NVCC")/$name" .whl/nvidia/cu"$cuda_major"/bin/"$name"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}
if ! find_tool nvdisasm >/dev/null || ! find_tool cuobjdump >/dev/null; then
    echo "kernel-stats: installing nvdisasm and cuobjdump $cuda_major.x into .whl/" >&2
    python3 -m pip --version >/dev/null 2>&1 || bash scripts/install-deps.sh python3-pip >&2
    python3 -m pip install --quiet --disable-pip-version-check --target .whl \
        "nvidia-cuda-nvdisasm>=$cuda_major,<$((cuda_major + 1))" \
        "nvidia-cuda-cuobjdump>=$cuda_major,<$((cuda_major + 1))" >&2
fi
NVDISASM=$(find_tool nvdisasm) || { echo "kernel-stats: no nvdisasm" >&2; exit 1; }
CUOBJDUMP=$(find_tool cuobjdump) || { echo "kernel-stats: no cuobjdump" >&2; exit 1; }

mkdir -p "$WORK"
for arch in "${ARCHS[@]}"; do
    for source in "${SOURCES[@]}"; do
        out="$WORK/$(basename "$source" .cu).sm_$arch"
        "$NVCC" -std=c++17 -O3 -arch=sm_"$arch" -cubin -Isrc -Xptxas -v -o "$out.cubin" "$source" 2>"$out.ptxas" ||
            { cat "$out.ptxas" >&2; exit 1; }
        "$NVDISASM" -c "$out.cubin" >"$out.sass"
        "$CUOBJDUMP" -res-usage "$out.cubin" >"$out.res"
    done
done

python3 - "$WORK" "${ARCHS[*]}" "${SOURCES[*]}" "${PERMUTATIONS[@]}" <<'PY'
import collections, os, re, subprocess, sys

work, archs, sources, permutations = sys.argv[1], sys.argv[2].split(), sys.argv[3].split(), sys.argv[4:]
KINDS = ["IMAD", "IADD3", "LOP3", "SHF", "PRMT", "SEL", "ISETP", "MOV", "LDS", "LDC", "LDG", "LDL/STL", "branch"]
BRANCHES = {"BRA", "BRX", "BSSY", "BSYNC", "CALL", "RET", "JMP", "EXIT", "WARPSYNC"}

def demangle(names):
    try:
        out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True).stdout.split("\n")
        return dict(zip(names, out))
    except OSError:
        return {n: n for n in names}

def kernels(stem):
    """Entry functions: registers, stack and shared memory from the cubin, spills from ptxas -v."""
    spills, rows, name = {}, {}, None
    lines = open(stem + ".ptxas").read().splitlines()
    for i, line in enumerate(lines):
        m = re.search(r"Function properties for (\S+)", line)
        f = i + 1 < len(lines) and re.search(r"(\d+) bytes spill stores, (\d+) bytes spill loads", lines[i + 1])
        if m and f:
            spills[m.group(1)] = (int(f.group(1)), int(f.group(2)))
    for line in open(stem + ".res"):
        m = re.match(r"\s*Function (\S+):", line)
        if m:
            name = m.group(1)
        m = re.search(r"REG:(\d+) STACK:(\d+) SHARED:(\d+)", line)
        if m and name:
            rows[name] = tuple(int(x) for x in m.groups()) + spills.get(name, (0, 0))
            name = None
    return rows

def kind(op):
    base = op.split(".")[0]
    if base in BRANCHES:
        return "branch"
    if base in ("LDL", "STL"):
        return "LDL/STL"
    if base in ("MOV", "UMOV"):
        return "MOV"
    return base if base in KINDS else "other"

def count(sass, kernel, function):
    """Instructions of `function` as placed inside `kernel`, label to RET."""
    label = "$%s$%s:" % (kernel, function)
    inside, kinds, total = False, collections.Counter(), 0
    for line in open(sass):
        if line.startswith(label):
            inside = True
            continue
        if not inside:
            continue
        m = re.match(r"\s+/\*[0-9a-f]+\*/\s+(.*?)\s*;", line)
        if not m:
            continue
        op = re.sub(r"^@!?U?P[T0-9]\s+", "", m.group(1)).split()[0]
        kinds[kind(op)] += 1
        total += 1
        if op.startswith("RET"):
            return total, kinds
    raise SystemExit("kernel-stats: %s not found in %s" % (label, sass))

for arch in archs:
    print("== sm_%s ==" % arch)
    print("%-58s %5s %6s %6s %8s %8s" % ("kernel", "regs", "stack", "smem", "spill st", "spill ld"))
    for source in sources:
        stem = os.path.join(work, "%s.sm_%s" % (os.path.basename(source)[:-3], arch))
        rows = kernels(stem)
        names = demangle(sorted(rows))
        for k in sorted(rows, key=lambda n: names[n]):
            print("%-58s %5d %6d %6d %8d %8d" % ((names[k].split("(")[0][:58],) + rows[k]))
    print()
    print("%-36s %6s " % ("SASS per permutation", "total") + " ".join("%6s" % k for k in KINDS + ["other"]))
    for entry in permutations:
        label, source, kernel, function = entry.split("|")
        stem = os.path.join(work, "%s.sm_%s" % (os.path.basename(source)[:-3], arch))
        total, kinds = count(stem + ".sass", kernel, function)
        print("%-36s %6d " % (label[:36], total) + " ".join("%6d" % kinds[k] for k in KINDS + ["other"]))
    print()
PY
