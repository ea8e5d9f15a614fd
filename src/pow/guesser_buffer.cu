// Construction of the guesser tree on the device: layer 0 straight from the commitment, the upper
// levels one zip launch per level, then the buffer hash.
#include "pow/guesser_buffer.h"

#include "diag/debug.h"
#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "pow/pow_device.cuh"

namespace {

__device__ __forceinline__ uint32_t thread_index()
{
    return blockIdx.x * blockDim.x + threadIdx.x;
}

}  // namespace

// Node 2^(height-1) + t = H(leaf(2t), leaf(2t+1)): 2 x 63 + 1 = 127 permutations per thread.
__global__ void __launch_bounds__(GUESSER_BLOCK_SIZE)
    build_layer0_from_commitment_kernel(Digest* nodes, uint64_t height, uint64_t num_leafs, Digest commitment)
{
    const uint32_t t = thread_index();
    const uint64_t layer0 = uint64_t(1) << (height - 1);
    if (t >= layer0) return;
    const InlinePermutation permute{};
    const Digest left = pow_hash::leaf(commitment, 2 * uint64_t(t), num_leafs, permute);
    const Digest right = pow_hash::leaf(commitment, 2 * uint64_t(t) + 1, num_leafs, permute);
    nodes[layer0 + t] = tip5::hash_pair(left, right, permute);
}

__global__ void __launch_bounds__(GUESSER_BLOCK_SIZE)
    merkle_zip_kernel(Digest* parents, const Digest* children, uint64_t count)
{
    const uint32_t t = thread_index();
    if (t >= count) return;
    // Children are only read while their parents are written elsewhere: the read-only path is safe.
    parents[t] = tip5::hash_pair(load_digest(&children[2 * uint64_t(t)]), load_digest(&children[2 * uint64_t(t) + 1]),
                                 InlinePermutation{});
}

__global__ void compute_final_hash_kernel(Digest* out, const Digest* root, Digest commitment)
{
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    out[0] = tip5::hash_pair(root[0], commitment, InlinePermutation{});
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
        if (stream_ != nullptr) cudaStreamDestroy(stream_);
    }

    cudaError_t create() { return cudaStreamCreate(&stream_); }
    cudaStream_t get() const { return stream_; }

private:
    cudaStream_t stream_ = nullptr;
};

bool launch_ok(const char* label)
{
    return crv_cuda_ok(cudaGetLastError(), label);
}

unsigned zip_blocks(uint64_t count)
{
    return static_cast<unsigned>((count + GUESSER_BLOCK_SIZE - 1) / GUESSER_BLOCK_SIZE);
}

// Launches between synchronisations of the level build: the host waits only every fourth launch.
constexpr int ZIP_LAUNCHES_PER_SYNC = 4;

}  // namespace

// Every early return leaves through the owners below: the node array, the final-hash slot and the
// stream are released, and the caller gets an empty buffer.
GuesserBuffer Pow::preprocess_gpu(const PowMastPaths& mast_paths, const GuesserGeometry& geometry)
{
    if (!geometry.valid()) {
        crv_print_cuda_error("guesser geometry", cudaErrorInvalidValue);
        return GuesserBuffer{};
    }
    const uint64_t height = geometry.tree_height;
    const uint64_t num_leafs = geometry.num_leafs();

    const Digest commitment = mast_paths.commit();
    crv_debug_line("preprocess: commitment computed");

    BuildStream stream;
    if (!crv_cuda_ok(stream.create(), "create stream")) return GuesserBuffer{};

    // One slot per node number; slot 0 holds no node and stays zero.
    gpu::DeviceBuffer<Digest> nodes;
    if (!crv_cuda_ok(nodes.allocate(num_leafs), "malloc d_internal_nodes")) return GuesserBuffer{};
    if (!crv_cuda_ok(cudaMemsetAsync(nodes.get(), 0, nodes.bytes(), stream.get()), "memset d_internal_nodes"))
        return GuesserBuffer{};

    gpu::launch(build_layer0_from_commitment_kernel, dim3(guesser_layer0_blocks(geometry)), dim3(GUESSER_BLOCK_SIZE),
                stream.get(), nodes.get(), height, num_leafs, commitment);
    if (!launch_ok("launch build_layer0_from_commitment")) return GuesserBuffer{};
    if (!crv_cuda_ok(cudaStreamSynchronize(stream.get()), "sync build_layer0_from_commitment")) return GuesserBuffer{};

    // Level k - 1 (nodes count .. 2 count - 1) from level k; the stream orders the levels.
    int launches_since_sync = 0;
    for (uint64_t k = height - 1; k >= 1; --k) {
        const uint64_t count = uint64_t(1) << (k - 1);
        Digest* parents = nodes.get() + count;
        const Digest* children = nodes.get() + 2 * count;
        gpu::launch(merkle_zip_kernel, dim3(zip_blocks(count)), dim3(GUESSER_BLOCK_SIZE), stream.get(), parents,
                    children, count);
        if (!launch_ok("launch merkle_zip layer")) return GuesserBuffer{};
        if (++launches_since_sync >= ZIP_LAUNCHES_PER_SYNC || k == 1) {
            if (!crv_cuda_ok(cudaStreamSynchronize(stream.get()), "sync merkle_zip batch")) return GuesserBuffer{};
            launches_since_sync = 0;
        }
    }
    crv_debug_line("preprocess: merkle internal nodes built");

    gpu::DeviceBuffer<Digest> d_final_hash;
    if (!crv_cuda_ok(d_final_hash.allocate(1), "malloc d_final_hash")) return GuesserBuffer{};

    Digest merkle_root{};
    Digest final_hash{};
    const Digest* root = nodes.get() + 1;
    if (!crv_cuda_ok(cudaMemcpyAsync(&merkle_root, root, sizeof(Digest), cudaMemcpyDeviceToHost, stream.get()),
                     "memcpy merkle_root"))
        return GuesserBuffer{};
    gpu::launch(compute_final_hash_kernel, dim3(1), dim3(1), stream.get(), d_final_hash.get(), root, commitment);
    if (!launch_ok("launch compute_final_hash")) return GuesserBuffer{};
    if (!crv_cuda_ok(cudaMemcpyAsync(&final_hash, d_final_hash.get(), sizeof(Digest), cudaMemcpyDeviceToHost,
                                     stream.get()),
                     "memcpy final_hash"))
        return GuesserBuffer{};
    if (!crv_cuda_ok(cudaStreamSynchronize(stream.get()), "sync final ops")) return GuesserBuffer{};
    crv_debug_line("preprocess: final hash and root obtained");

    GuesserBuffer buffer;
    buffer.merkle_root = merkle_root;
    buffer.final_hash = final_hash;
    buffer.mast_paths = mast_paths;
    buffer.d_merkle_tree = nodes.release();
    buffer.merkle_tree_size = num_leafs;
    buffer.d_leafs = nullptr;
    buffer.num_leafs = num_leafs;
    buffer.tree_height = height;
    return buffer;  // d_final_hash is freed, then the stream destroyed
}
