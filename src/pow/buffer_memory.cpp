#include "pow/buffer_memory.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/runtime.h"
#include "pow/window_build.h"

BufferFootprint buffer_footprint(const GuesserGeometry& geometry)
{
    BufferFootprint f;
    f.nodes = geometry.num_leafs() * sizeof(Digest);
    f.leaf_bytes = sizeof(Digest);
    f.num_leafs = geometry.num_leafs();
    f.chunk_leafs = window_build::chunk_leaves(geometry);
    f.scratch = window_build::scratch_digests(geometry) * sizeof(Digest);
    f.margin = geometry.build.memory_margin;
    return f;
}

std::optional<uint64_t> fitting_stored_leafs(const BufferFootprint& f, uint64_t free_bytes,
                                             const GuesserBuildConfig& build)
{
    const uint64_t chunk = std::max<uint64_t>(1, f.chunk_leafs);
    const auto whole_chunks = [&](uint64_t leafs) { return std::min(f.num_leafs, leafs / chunk * chunk); };
    const uint64_t room = free_bytes >= f.needed(0) ? (free_bytes - f.needed(0)) / std::max<uint64_t>(1, f.leaf_bytes) : 0;
    uint64_t stored = 0;
    switch (build.leaves) {
    case LeafStorage::Stored:
        stored = f.num_leafs;
        break;
    case LeafStorage::Computed:
        break;
    case LeafStorage::Partial:
        stored = build.stored_share > 0 ? whole_chunks(static_cast<uint64_t>(build.stored_share * double(f.num_leafs)))
                                        : whole_chunks(room);
        break;
    case LeafStorage::Auto:
        stored = whole_chunks(room);
        break;
    }
    if (f.needed(stored) > free_bytes) return std::nullopt;
    return stored;
}

namespace {

std::string gib(uint64_t bytes)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / double(uint64_t(1) << 30);
    return text.str();
}

void print_does_not_fit(const BufferFootprint& f, uint64_t free_bytes, uint64_t stored)
{
    int device = -1;
    cudaDeviceProp prop{};
    const bool known = crv_cuda_ok(cudaGetDevice(&device), "get device") &&
                       crv_cuda_ok(cudaGetDeviceProperties(&prop, device), "get device properties");
    const uint64_t needed = f.needed(stored);
    std::ostringstream line;
    line << "Error: GPU " << device << " (" << (known ? prop.name : "unknown") << ") has " << free_bytes
         << " bytes free (" << gib(free_bytes) << " GiB), the guesser buffer needs " << needed << " bytes ("
         << gib(needed) << " GiB: nodes " << gib(f.nodes);
    if (stored > 0) line << " + leaves " << gib(stored * f.leaf_bytes);
    line << " + build scratch " << gib(f.scratch) << " + margin " << gib(f.margin)
         << "); not building: stop other programs using this GPU or choose one with more memory (--gpu)";
    print_line(std::cerr, line.str());
}

}  // namespace

std::optional<uint64_t> plan_stored_leafs(const GuesserGeometry& geometry, GpuStatus& status)
{
    size_t free_bytes = 0;
    size_t total_bytes = 0;
    if (!status.check(cudaMemGetInfo(&free_bytes, &total_bytes), "memory info")) return std::nullopt;
    const BufferFootprint footprint = buffer_footprint(geometry);
    const std::optional<uint64_t> stored = fitting_stored_leafs(footprint, free_bytes, geometry.build);
    if (!stored) {
        // What the request needs at the least: its own leaves, or none when it lets them be built.
        GuesserBuildConfig least = geometry.build;
        if (least.leaves == LeafStorage::Auto || (least.leaves == LeafStorage::Partial && least.stored_share == 0))
            least.leaves = LeafStorage::Computed;
        print_does_not_fit(footprint, free_bytes, *fitting_stored_leafs(footprint, ~uint64_t(0), least));
    }
    return stored;
}
