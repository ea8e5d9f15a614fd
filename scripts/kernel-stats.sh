#!/usr/bin/env bash
# Static kernel report and throughput model, runnable without a GPU: compiles the kernel sources with
# nvcc for each architecture and prints
#   - per kernel: registers, stack frame, spill stores and loads (ptxas -v), and a check that every
#     product kernel spills nothing and keeps its stack within 256 bytes;
#   - per permutation: SASS instructions, in total and by pipe (nvdisasm);
#   - the model: cycles per warp-permutation per sub-partition, cycles per candidate in each leaf
#     mode, and modelled candidates/s for a few cards.
# A permutation is counted in a kernel that calls it out of line: the instructions of the called
# function, from its label up to its RET, are one permutation, straight-line code run once per call.
# The measuring kernels (bench/kernel_stats/permutation_kernels.cu) pass the state through local
# memory (16 LDL, 16 STL in the count); the product's kernels pass it in registers.
#
# The model. Each sub-partition issues one warp instruction per clock, and its pipes run side by
# side, so a warp-permutation takes
#     max(instructions, 2 IMAD + 4 IMAD.WIDE, f FP64, c CONV, a ALU)   cycles,
# from the rates of the CUDA C++ Programming Guide ("Arithmetic Instructions", results per clock per
# multiprocessor, 4 sub-partitions, 32 threads a warp instruction):
#   32-bit integer multiply-add: 64 on 8.x, 9.0, 10.0, 12.0 -> 2 cycles; the wide form (and .HI)
#     takes two passes -> 4;
#   integer add, logic, shift, compare, select, permute (ALU): 64 -> a = 2; 128 on 12.0 -> a = 1;
#   64-bit floating add/multiply/fma: 32 on 8.0 -> f = 4; 64 on 9.0, 10.0 -> f = 2;
#     2 on 8.6, 8.9, 12.0 -> f = 64;
#   conversions from and to 64-bit types: 16 on 8.0, 9.0, 10.0 -> c = 8; 2 on 8.6, 8.9, 12.0 -> c = 64.
# A candidate is the sum of its permutations (the shapes below, times how often each runs); outside
# them a candidate runs a few hundred instructions (path loads, the loop), left out. candidates/s =
# SMs x boost clock x 4 sub-partitions x 32 / cycles per candidate: an upper bound that assumes the
# issue slots stay full (enough warps, no instruction-cache or memory stalls).
#
#   scripts/kernel-stats.sh                  sm_80 sm_86 sm_89 sm_90 sm_100 sm_120
#   CRV_STATS_ARCHS="90" scripts/kernel-stats.sh
# nvdisasm and cuobjdump are not part of every toolkit: when missing they are installed from PyPI
# (nvidia-cuda-nvdisasm, nvidia-cuda-cuobjdump, matching nvcc's major version) into .whl/.
# Work files go to build-kernel-stats/. Exit status 1 when a product kernel spills or its stack
# exceeds 256 bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the report covers. Kernels: every entry function of these sources. Permutations:
# "label|source|kernel|function", function being the out-of-line callee inside that kernel (mangled
# names for C++ symbols), in the measuring kernels: today's permutation (its round loop unrolled
# there, so that the static count is the count per call) and the fast one with each form of its MDS
# layer (the product runs one per architecture, tip5_fast::ARCH_MDS).
SOURCES=(
    bench/kernel_stats/permutation_kernels.cu
    src/mining/mining_kernels.cu
    src/pow/guesser_buffer.cu
)
PERMUTATIONS=(
    "reference|bench/kernel_stats/permutation_kernels.cu|measure_reference_permutation|reference_permutation"
    "fast, direct MDS (previous)|bench/kernel_stats/permutation_kernels.cu|measure_fast_direct|fast_direct"
    "fast, fp64 MDS|bench/kernel_stats/permutation_kernels.cu|measure_fast_fp64|fast_fp64"
    "fast, crt MDS|bench/kernel_stats/permutation_kernels.cu|measure_fast_crt|fast_crt"
)
# The product's candidate, shape by shape (tip5::Shape; tests/pow_test.cpp counts the same):
# "label|mining kernel|callee|runs per candidate|runs per sibling leaf built". A candidate builds no
# leaf when the leaves are stored, 2 when they are computed.
MINING_KERNEL=_Z22parallel_mining_kernel12MiningParams
shape() { echo "_ZN21CalledFastPermutation7permuteILN4tip55ShapeE$1EEENS_5StateES3_"; }
CANDIDATE=(
    "full (sponge)|$MINING_KERNEL|$(shape 0)|30|0"
    "pair|$MINING_KERNEL|$(shape 2)|7|31"
    "pair_word (bud)|$MINING_KERNEL|$(shape 3)|0|32"
    "pair_zero (index chain)|$MINING_KERNEL|$(shape 4)|62|0"
    "short_hash|$MINING_KERNEL|$(shape 5)|2|0"
    "padding|$MINING_KERNEL|$(shape 6)|1|0"
)
# The previous and the compact kernel's candidates: one permutation, whole at every call site (a
# callee ending in * is matched by its start: the compact kernel's form differs by architecture).
PREVIOUS_KERNEL=_Z31parallel_mining_kernel_previous12MiningParams
COMPACT_KERNEL=_Z30parallel_mining_kernel_compact12MiningParams
PREVIOUS=("previous|$PREVIOUS_KERNEL|_ZN22CalledWholePermutation*|102|63")
COMPACT=("compact|$COMPACT_KERNEL|_ZN22CalledWholePermutation*|102|63")
# Kernels the product launches: no spills, stack <= 256 bytes on every architecture.
PRODUCT_KERNELS="parallel_mining_kernel parallel_mining_kernel_previous parallel_mining_kernel_compact compute_merkle_paths_kernel window_step_kernel merkle_zip_kernel compute_final_hash_kernel"
ARCHS=(${CRV_STATS_ARCHS:-80 86 89 90 100 120})
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
        # CRV_STATS_REUSE=1: the model again over the last compilation
        [ "${CRV_STATS_REUSE:-0}" = 1 ] && [ -s "$out.res" ] && continue
        "$NVCC" -std=c++17 -O3 -arch=sm_"$arch" -cubin -Isrc -Xptxas -v -o "$out.cubin" "$source" 2>"$out.ptxas" ||
            { cat "$out.ptxas" >&2; exit 1; }
        "$NVDISASM" -c "$out.cubin" >"$out.sass"
        "$CUOBJDUMP" -res-usage "$out.cubin" >"$out.res"
    done
done


MINING_KERNEL=$MINING_KERNEL PREVIOUS_KERNEL=$PREVIOUS_KERNEL COMPACT_KERNEL=$COMPACT_KERNEL \
python3 - "$WORK" "${ARCHS[*]}" "${SOURCES[*]}" "$PRODUCT_KERNELS" "${PERMUTATIONS[@]}" -- "${CANDIDATE[@]}" -- \
    "${PREVIOUS[@]}" -- "${COMPACT[@]}" <<'PY'
import collections, os, re, subprocess, sys

MINING_KERNEL, PREVIOUS_KERNEL, COMPACT_KERNEL = (os.environ[k] for k in ("MINING_KERNEL", "PREVIOUS_KERNEL", "COMPACT_KERNEL"))

work, archs, sources, product_kernels = sys.argv[1], sys.argv[2].split(), sys.argv[3].split(), sys.argv[4].split()
rest = sys.argv[5:]
first, second = rest.index("--"), rest.index("--", rest.index("--") + 1)
third = rest.index("--", second + 1)
permutations, candidate = rest[:first], rest[first + 1 : second]
previous, compact = rest[second + 1 : third], rest[third + 1 :]

PIPES = ["IMAD", "WIDE", "ALU", "FP64", "CONV", "MEM", "other"]
ALU = {"IADD3", "IADD", "LOP3", "LOP", "SHF", "SHL", "SHR", "PRMT", "SEL", "ISETP", "MOV", "LEA", "IABS", "IMNMX",
       "PLOP3", "P2R", "R2P", "BMSK", "SGXT", "FLO", "POPC", "BREV", "VIADD", "VIMNMX"}
FP64 = {"DADD", "DMUL", "DFMA", "DSETP", "DMNMX"}
# Per architecture: a (ALU), f (FP64), c (64-bit conversions), cycles per warp instruction (see the top).
RATES = {"80": (2, 4, 8), "86": (2, 64, 64), "89": (2, 64, 64), "90": (2, 2, 8), "100": (2, 2, 8), "120": (1, 64, 64)}
# Cards: name, architecture, SMs, boost clock (MHz), memory (GiB) — the makers' data sheets.
CARDS = [("H100 SXM", "90", 132, 1980, 79.6), ("L40S", "89", 142, 2520, 44.4), ("RTX 4090", "89", 128, 2520, 23.6),
         ("RTX 5090", "120", 170, 2407, 31.4), ("RTX 3090", "86", 82, 1695, 23.6), ("A100 80GB", "80", 108, 1410, 79.1)]
# What the buffer needs (README "Mining"): nodes, build scratch and margin; the leaves as much again.
NODES_GIB, LEAVES_GIB, CONTEXT_GIB = 21.1, 20.0, 0.5

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

def pipe(op):
    parts = op.split(".")
    base = parts[0]
    if base == "IMAD":
        return "WIDE" if "WIDE" in parts or "HI" in parts else "IMAD"
    if base in FP64:
        return "FP64"
    if base in ("F2F", "I2F", "F2I") and "F64" in parts:
        return "CONV"
    if base in ALU:
        return "ALU"
    if re.match(r"(LD|ST)[GSCL]?$", base) or base in ("LDG", "LDS", "LDC", "LDL", "STL", "STG", "STS", "LD", "ST"):
        return "MEM"
    return "other"

def count(sass, kernel, function):
    """Instructions of `function` as placed inside `kernel`, label to RET, by pipe."""
    label = "$%s$%s" % (kernel, function.rstrip("*"))
    inside, pipes = False, collections.Counter()
    for line in open(sass):
        if line.startswith(label) and (function.endswith("*") or line.startswith(label + ":")):
            inside = True
            continue
        if not inside:
            continue
        m = re.match(r"\s+/\*[0-9a-f]+\*/\s+(.*?)\s*;", line)
        if not m:
            continue
        op = re.sub(r"^@!?U?P[T0-9]\s+", "", m.group(1)).split()[0]
        pipes[pipe(op)] += 1
        pipes["total"] += 1
        if op.startswith("RET"):
            return pipes
    raise SystemExit("kernel-stats: %s not found in %s" % (label, sass))

def code_bytes(sass, kernel):
    """Bytes of SASS in the kernel's own section: its body and its out-of-line callees."""
    inside, count = False, 0
    for line in open(sass):
        if line.startswith("//---"):  # a section's banner
            inside = (".text.%s" % kernel) in line
            continue
        if inside and re.match(r"\s+/\*[0-9a-f]+\*/\s+\S", line):
            count += 1
    return 16 * count

def cycles(pipes, arch):
    """Cycles per warp on one sub-partition, and the pipe that bounds them."""
    a, f, c = RATES[arch]
    terms = {"issue": pipes["total"], "multiplier": 2 * pipes["IMAD"] + 4 * pipes["WIDE"], "FP64": f * pipes["FP64"],
             "conversion": c * pipes["CONV"], "ALU": a * pipes["ALU"]}
    bound = max(terms, key=terms.get)
    return terms[bound], bound

def stem_of(source, arch):
    return os.path.join(work, "%s.sm_%s" % (os.path.basename(source)[:-3], arch))

def leaf_modes(memory):
    """The leaf modes a card of this memory mines in, with sibling leaves built per candidate."""
    free = memory - CONTEXT_GIB
    if free >= NODES_GIB + LEAVES_GIB:
        return [("stored", 0.0)]
    share = max(0.0, min(1.0, (free - NODES_GIB) / LEAVES_GIB))
    return [("computed", 2.0), ("partial f=%.2f" % share, 2.0 * (1.0 - share))]

failures, per_candidate = [], {}
for arch in archs:
    print("== sm_%s ==" % arch)
    print("%-58s %5s %6s %6s %8s %8s" % ("kernel", "regs", "stack", "smem", "spill st", "spill ld"))
    for source in sources:
        rows = kernels(stem_of(source, arch))
        names = demangle(sorted(rows))
        for k in sorted(rows, key=lambda n: names[n]):
            short = names[k].split("(")[0]
            regs, stack, smem, spill_st, spill_ld = rows[k]
            print("%-58s %5d %6d %6d %8d %8d" % (short[:58], regs, stack, smem, spill_st, spill_ld))
            if source.startswith("src/") and short in product_kernels and (spill_st or spill_ld or stack > 256):
                failures.append("sm_%s %s: %d/%d bytes spilled, stack %d" % (arch, short, spill_st, spill_ld, stack))
    print()
    print("%-40s %6s " % ("SASS per permutation", "total") + " ".join("%6s" % p for p in PIPES) + "  cycles (bound)")
    for entry in permutations:
        label, source, kernel, function = entry.split("|")
        pipes = count(stem_of(source, arch) + ".sass", kernel, function)
        print("%-40s %6d " % (label[:40], pipes["total"]) + " ".join("%6d" % pipes[p] for p in PIPES) +
              "  %6d (%s)" % cycles(pipes, arch))
    # The candidate: every shape's pipes times its runs, the pipes of all shapes side by side.
    for kernel_name, shapes in (("fast", candidate), ("previous", previous), ("compact", compact)):
        fixed, per_leaf = collections.Counter(), collections.Counter()
        print("%s kernel, candidate shapes:" % kernel_name)
        for entry in shapes:
            label, kernel, function, runs, runs_per_leaf = entry.split("|")
            pipes = count(stem_of("src/mining/mining_kernels.cu", arch) + ".sass", kernel, function)
            print("  %-38s %6d " % (label[:38], pipes["total"]) + " ".join("%6d" % pipes[p] for p in PIPES) +
                  "  %6d (%s), %s a candidate + %s a built leaf" % (cycles(pipes, arch) + (runs, runs_per_leaf)))
            for p in pipes:
                fixed[p] += int(runs) * pipes[p]
                per_leaf[p] += int(runs_per_leaf) * pipes[p]
        per_candidate[(kernel_name, arch)] = (fixed, per_leaf)
        for mode, leaves in (("stored", 0), ("computed", 2)):
            pipes = collections.Counter({p: fixed[p] + leaves * per_leaf[p] for p in set(fixed) | set(per_leaf)})
            print("per candidate, leaves %-8s %9d cycles (%s)" % ((mode,) + cycles(pipes, arch)))
    sass = stem_of("src/mining/mining_kernels.cu", arch) + ".sass"
    print("code: fast kernel %d KB, previous %d KB, compact %d KB (the fast kernel's shapes are separate copies)" %
          tuple(code_bytes(sass, k) // 1024 for k in (MINING_KERNEL, PREVIOUS_KERNEL, COMPACT_KERNEL)))
    print()

def modelled(kernel_name, arch, sms, mhz, leaves):
    fixed, per_leaf = per_candidate[(kernel_name, arch)]
    pipes = collections.Counter({p: fixed[p] + leaves * per_leaf[p] for p in set(fixed) | set(per_leaf)})
    return sms * mhz * 1e6 * 4 * 32 / cycles(pipes, arch)[0] / 1e6

print("== model ==")
for name, arch, sms, mhz, memory in CARDS:
    if ("fast", arch) not in per_candidate:
        continue
    for mode, leaves in leaf_modes(memory):
        print("%s (%s): %.1f M candidates/s modelled (previous kernel %.1f, compact %.1f)" %
              (name, mode, modelled("fast", arch, sms, mhz, leaves), modelled("previous", arch, sms, mhz, leaves),
               modelled("compact", arch, sms, mhz, leaves)))
for failure in failures:
    print("kernel-stats: " + failure, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
