// Construction of the guesser tree on the device: the leaves window chunk by window chunk with
// layer 0 (and the stored leaves), the upper levels zip launch by zip launch, then the buffer hash.
// No launch runs more than the configured number of permutations.
#include "pow/guesser_buffer.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "diag/gpu_status.h"
#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "pow/buffer_memory.h"
#include "pow/pow_device.cuh"
#include "pow/window_build.h"

namespace {

__device__ __forceinline__ uint32_t thread_index()
{
    return blockIdx.x * blockDim.x + threadIdx.x;
}

}  // namespace

// One level of one window chunk (window_build.h); every thread computes one entry.
__global__ void __launch_bounds__(GUESSER_BLOCK_SIZE, GUESSER_MIN_BLOCKS) window_step_kernel(window_build::WindowStep step)
{
    const uint32_t t = thread_index();
    if (t >= step.count) return;
    window_build::window_step(step, step.begin + t, fast_permutation());
}

__global__ void __launch_bounds__(GUESSER_BLOCK_SIZE, GUESSER_MIN_BLOCKS)
    merkle_zip_kernel(Digest* parents, const Digest* children, uint64_t count)
{
    const uint32_t t = thread_index();
    if (t >= count) return;
    // Children are only read while their parents are written elsewhere: the read-only path is safe.
    parents[t] = tip5::hash_pair(load_digest(&children[2 * uint64_t(t)]), load_digest(&children[2 * uint64_t(t) + 1]),
                                 fast_permutation());
}

__global__ void compute_final_hash_kernel(Digest* out, const Digest* root, Digest commitment)
{
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    out[0] = tip5::hash_pair(root[0], commitment, fast_permutation());
}

namespace {

// The build's own stream, destroyed on every way out of the build.
class BuildStream {
public:
    BuildStream() = default;
    BuildStream(const BuildStream&) = delete;
    BuildStream& operator=(const BuildStream&) = delete;
    ~BuildStream()
    {
        if (stream_ != nullptr) crv_cuda_ok(cudaStreamDestroy(stream_), "destroy build stream");
    }

    cudaError_t create() { return cudaStreamCreate(&stream_); }
    cudaStream_t get() const { return stream_; }

private:
    cudaStream_t stream_ = nullptr;
};

bool launch_ok(const char* label, GpuStatus& status)
{
    return status.check(cudaGetLastError(), label);
}

unsigned blocks_for(uint64_t count)
{
    return static_cast<unsigned>((count + GUESSER_BLOCK_SIZE - 1) / GUESSER_BLOCK_SIZE);
}

// Launches between synchronisations of the level build: the host waits only every fourth launch.
constexpr int ZIP_LAUNCHES_PER_SYNC = 4;

// Level k - 1 (nodes count .. 2 count - 1) from level k for k = height - 1 .. 1, each level in
// launches of bounded length; the stream orders the levels.
bool build_upper_levels(Digest* nodes, const GuesserGeometry& geometry, cudaStream_t stream, GpuStatus& status)
{
    const uint64_t per_launch = geometry.build.launch_permutations;
    int launches_since_sync = 0;
    for (uint64_t k = geometry.tree_height - 1; k >= 1; --k) {
        const uint64_t count = uint64_t(1) << (k - 1);
        for (uint64_t begin = 0; begin < count; begin += per_launch) {
            const uint64_t part = std::min(per_launch, count - begin);
            gpu::launch(merkle_zip_kernel, dim3(blocks_for(part)), dim3(GUESSER_BLOCK_SIZE), stream,
                        nodes + count + begin, static_cast<const Digest*>(nodes + 2 * (count + begin)), part);
            if (!launch_ok("launch merkle_zip layer", status)) return false;
            const bool last = k == 1 && begin + part == count;
            if (++launches_since_sync >= ZIP_LAUNCHES_PER_SYNC || last) {
                if (!status.check(cudaStreamSynchronize(stream), "sync merkle_zip batch")) return false;
                launches_since_sync = 0;
            }
        }
    }
    return true;
}

}  // namespace

// Every early return leaves through the owners below: the device arrays and the stream are
// released, and the caller gets an empty buffer.
GuesserBuffer Pow::preprocess_gpu(const PowMastPaths& mast_paths, const GuesserGeometry& geometry)
{
    GpuStatus status;
    return preprocess_gpu(mast_paths, geometry, status);
}

GuesserBuffer Pow::preprocess_gpu(const PowMastPaths& mast_paths, const GuesserGeometry& geometry, GpuStatus& status)
{
    if (!geometry.valid()) {
        print_line(std::cerr, "Error: the guesser geometry is invalid");
        return GuesserBuffer{};
    }
    const uint64_t height = geometry.tree_height;
    const uint64_t num_leafs = geometry.num_leafs();

    const Digest commitment = mast_paths.commit();
    crv_debug_line("preprocess: commitment computed");

    const std::optional<uint64_t> stored = plan_stored_leafs(geometry, status);
    if (!stored) return GuesserBuffer{};

    BuildStream stream;
    if (!status.check(stream.create(), "create stream")) return GuesserBuffer{};

    // One slot per node number; slot 0 holds no node and stays zero.
    gpu::DeviceBuffer<Digest> nodes;
    if (!status.check(nodes.allocate(num_leafs), "malloc d_internal_nodes")) return GuesserBuffer{};
    if (!status.check(cudaMemsetAsync(nodes.get(), 0, nodes.bytes(), stream.get()), "memset d_internal_nodes"))
        return GuesserBuffer{};
    gpu::DeviceBuffer<Digest> leaves;
    if (*stored > 0 && !status.check(leaves.allocate(*stored), "malloc d_leafs"))
        return GuesserBuffer{};

    {
        gpu::DeviceBuffer<Digest> scratch;
        if (!status.check(scratch.allocate(window_build::scratch_digests(geometry)), "malloc window scratch"))
            return GuesserBuffer{};
        // The host waits for each chunk, so a failure is reported within one chunk.
        const auto launch_step = [&](const window_build::WindowStep& step) {
            gpu::launch(window_step_kernel, dim3(blocks_for(step.count)), dim3(GUESSER_BLOCK_SIZE), stream.get(), step);
            return launch_ok("launch window_step", status);
        };
        const auto sync_chunk = [&] { return status.check(cudaStreamSynchronize(stream.get()), "sync window chunk"); };
        if (!window_build::for_each_window_step(commitment, {nodes.get(), leaves.get(), scratch.get(), *stored}, geometry,
                                                launch_step, sync_chunk))
            return GuesserBuffer{};
    }  // the scratch is freed before the upper levels
    if (!build_upper_levels(nodes.get(), geometry, stream.get(), status)) return GuesserBuffer{};
    crv_debug_line("preprocess: merkle internal nodes built");

    gpu::DeviceBuffer<Digest> d_final_hash;
    if (!status.check(d_final_hash.allocate(1), "malloc d_final_hash")) return GuesserBuffer{};

    Digest merkle_root{};
    Digest final_hash{};
    const Digest* root = nodes.get() + 1;
    if (!status.check(cudaMemcpyAsync(&merkle_root, root, sizeof(Digest), cudaMemcpyDeviceToHost, stream.get()),
                     "memcpy merkle_root"))
        return GuesserBuffer{};
    gpu::launch(compute_final_hash_kernel, dim3(1), dim3(1), stream.get(), d_final_hash.get(), root, commitment);
    if (!launch_ok("launch compute_final_hash", status)) return GuesserBuffer{};
    if (!status.check(cudaMemcpyAsync(&final_hash, d_final_hash.get(), sizeof(Digest), cudaMemcpyDeviceToHost,
                                     stream.get()),
                     "memcpy final_hash"))
        return GuesserBuffer{};
    if (!status.check(cudaStreamSynchronize(stream.get()), "sync final ops")) return GuesserBuffer{};
    crv_debug_line("preprocess: final hash and root obtained");

    GuesserBuffer buffer;
    buffer.merkle_root = merkle_root;
    buffer.final_hash = final_hash;
    buffer.mast_paths = mast_paths;
    buffer.d_merkle_tree = nodes.release();
    buffer.merkle_tree_size = num_leafs;
    buffer.d_leafs = leaves.release();
    buffer.stored_leafs = *stored;
    buffer.num_leafs = num_leafs;
    buffer.tree_height = height;
    return buffer;  // d_final_hash is freed, then the stream destroyed
}
