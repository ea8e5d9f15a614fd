#include "pow/buffer_memory.h"

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
    f.leaves = geometry.num_leafs() * sizeof(Digest);
    f.scratch = window_build::scratch_digests(geometry) * sizeof(Digest);
    f.margin = geometry.build.memory_margin;
    return f;
}

std::optional<LeafStorage> fitting_leaf_storage(const BufferFootprint& footprint, uint64_t free_bytes,
                                                LeafStorage requested)
{
    const auto fits = [&](LeafStorage storage) { return footprint.needed(storage) <= free_bytes; };
    if (requested == LeafStorage::Auto)
        requested = fits(LeafStorage::Stored) ? LeafStorage::Stored : LeafStorage::Computed;
    if (!fits(requested)) return std::nullopt;
    return requested;
}

namespace {

std::string gib(uint64_t bytes)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / double(uint64_t(1) << 30);
    return text.str();
}

void print_does_not_fit(const BufferFootprint& f, uint64_t free_bytes, LeafStorage storage)
{
    int device = -1;
    cudaDeviceProp prop{};
    const bool known = crv_cuda_ok(cudaGetDevice(&device), "get device") &&
                       crv_cuda_ok(cudaGetDeviceProperties(&prop, device), "get device properties");
    const uint64_t needed = f.needed(storage);
    std::ostringstream line;
    line << "Error: GPU " << device << " (" << (known ? prop.name : "unknown") << ") has " << free_bytes
         << " bytes free (" << gib(free_bytes) << " GiB), the guesser buffer needs " << needed << " bytes ("
         << gib(needed) << " GiB: nodes " << gib(f.nodes);
    if (storage == LeafStorage::Stored) line << " + leaves " << gib(f.leaves);
    line << " + build scratch " << gib(f.scratch) << " + margin " << gib(f.margin)
         << "); not building: stop other programs using this GPU or choose one with more memory (--gpu)";
    print_line(std::cerr, line.str());
}

}  // namespace

std::optional<LeafStorage> plan_leaf_storage(const GuesserGeometry& geometry, GpuStatus& status)
{
    size_t free_bytes = 0;
    size_t total_bytes = 0;
    if (!status.check(cudaMemGetInfo(&free_bytes, &total_bytes), "memory info")) return std::nullopt;
    const BufferFootprint footprint = buffer_footprint(geometry);
    const std::optional<LeafStorage> storage = fitting_leaf_storage(footprint, free_bytes, geometry.build.leaves);
    if (!storage) {
        const LeafStorage least = geometry.build.leaves == LeafStorage::Stored ? LeafStorage::Stored : LeafStorage::Computed;
        print_does_not_fit(footprint, free_bytes, least);
    }
    return storage;
}
