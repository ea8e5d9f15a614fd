#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli/test_data.h"
#include "diag/debug.h"
#include "gpu/runtime.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/expected_puzzle.h"
#include "support/guesser_reference.h"

namespace {

using support::capture_output;
using support::CapturedOutput;
using reference::H;
using reference::random_paths;

constexpr size_t MIB = size_t(1) << 20;

void configureDevice(size_t capacity = 64 * MIB)
{
    current_buffer.reset();
    emu::Config config;
    config.device.total_memory = capacity;
    emu::configure(config);
}

std::vector<Digest> download_nodes(const GuesserBuffer& buffer)
{
    std::vector<Digest> nodes(buffer.merkle_tree_size);
    EXPECT_EQ(cudaMemcpy(nodes.data(), buffer.d_merkle_tree, nodes.size() * sizeof(Digest), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return nodes;
}

bool same_paths(const PowMastPaths& a, const PowMastPaths& b)
{
    return std::memcmp(&a, &b, sizeof(PowMastPaths)) == 0;
}

bool is_default(const GuesserBuffer& buffer)
{
    return buffer.merkle_root == Digest{} && buffer.final_hash == Digest{} && same_paths(buffer.mast_paths, {}) &&
           buffer.d_merkle_tree == nullptr && buffer.merkle_tree_size == 0 && buffer.d_leafs == nullptr &&
           buffer.num_leafs == 0;
}

CheckedPuzzle puzzle_of(const PowMastPaths& paths, const std::string& threshold)
{
    CheckedPuzzle puzzle;
    puzzle.mast_paths = paths;
    puzzle.threshold_text = threshold;
    puzzle.threshold = parseDigestString(threshold);
    return puzzle;
}

// Root of 32 buds given by their indices, written out without the modulo of the window.
Digest leaf_over(const Digest& commitment, const std::vector<uint64_t>& bud_indices)
{
    std::vector<Digest> buds;
    for (uint64_t i : bud_indices) buds.push_back(reference::bud(commitment, i));
    return reference::merkle_root_of(buds);
}

// What a successful build writes on standard output; the switch is whatever this process read first.
std::string build_debug_lines()
{
    return crv_debug_runtime_enabled() ? "[DBG] preprocess: commitment computed\n"
                                         "[DBG] preprocess: merkle internal nodes built\n"
                                         "[DBG] preprocess: final hash and root obtained\n"
                                       : "";
}

TEST(GuesserBuffer, SmallTreesMatchTheHostModelNodeForNode)
{
    std::mt19937_64 rng(29);
    for (uint64_t height = 6; height <= 12; ++height) {
        SCOPED_TRACE("height " + std::to_string(height));
        configureDevice();
        const PowMastPaths paths = height % 2 == 0 ? TestData::get_mast_paths() : random_paths(rng);
        const Digest commitment = paths.commit();

        GuesserBuffer buffer = Pow::preprocess_gpu(paths, GuesserGeometry{height});
        ASSERT_NE(buffer.d_merkle_tree, nullptr);
        const uint64_t n = uint64_t(1) << height;
        EXPECT_EQ(buffer.merkle_tree_size, n);
        EXPECT_EQ(buffer.num_leafs, n);
        EXPECT_EQ(buffer.d_leafs, nullptr);
        EXPECT_TRUE(same_paths(buffer.mast_paths, paths));
        EXPECT_EQ(emu::live_allocations(), 1u);  // the node array alone: the final-hash slot is gone
        EXPECT_EQ(emu::live_streams(), 0u);

        const reference::Tree tree = reference::build_tree(commitment, height);
        const std::vector<Digest> nodes = download_nodes(buffer);
        EXPECT_EQ(nodes[0], Digest{});
        for (uint64_t node = 1; node < n; ++node) ASSERT_EQ(nodes[node], tree.nodes[node]) << "node " << node;
        EXPECT_EQ(buffer.merkle_root, tree.root());
        EXPECT_EQ(buffer.final_hash, H(tree.root(), commitment));

        // The last layer-0 node pairs the two leaves whose windows wrap round to bud 0.
        std::vector<uint64_t> window_a{n - 2, n - 1}, window_b{n - 1};
        for (uint64_t i = 0; window_a.size() < 32; ++i) window_a.push_back(i);
        for (uint64_t i = 0; window_b.size() < 32; ++i) window_b.push_back(i);
        EXPECT_EQ(nodes[n - 1], H(leaf_over(commitment, window_a), leaf_over(commitment, window_b)));

        buffer.cleanup();
        EXPECT_EQ(emu::live_allocations(), 0u);
    }
}

TEST(GuesserBuffer, SamePathsGiveTheSameBufferAndOtherPathsAnother)
{
    configureDevice();
    const PowMastPaths paths = TestData::get_mast_paths();
    GuesserBuffer first = Pow::preprocess_gpu(paths, GuesserGeometry{7});
    GuesserBuffer second = Pow::preprocess_gpu(paths, GuesserGeometry{7});
    ASSERT_NE(first.d_merkle_tree, nullptr);
    ASSERT_NE(second.d_merkle_tree, nullptr);
    EXPECT_NE(first.d_merkle_tree, second.d_merkle_tree);
    EXPECT_EQ(first.merkle_root, second.merkle_root);
    EXPECT_EQ(first.final_hash, second.final_hash);
    EXPECT_EQ(download_nodes(first), download_nodes(second));

    PowMastPaths other = paths;
    other.kernel[0][0] ^= 1;
    GuesserBuffer third = Pow::preprocess_gpu(other, GuesserGeometry{7});
    EXPECT_NE(third.merkle_root, first.merkle_root);
    EXPECT_NE(third.final_hash, first.final_hash);
}

TEST(GuesserBuffer, DebugLinesFollowTheSwitch)
{
    configureDevice();
    GuesserBuffer buffer;
    const CapturedOutput c = capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6}); });
    ASSERT_NE(buffer.d_merkle_tree, nullptr);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.out, build_debug_lines());
}

TEST(GuesserBuffer, LaunchesTheLevelsAndSynchronisesEveryFourthAndAfterTheLast)
{
    EXPECT_EQ(guesser_layer0_blocks(GuesserGeometry{}), 1u << 20);  // 2^28 layer-0 nodes
    EXPECT_EQ(guesser_layer0_blocks(GuesserGeometry{12}), 8u);
    EXPECT_EQ(guesser_layer0_blocks(GuesserGeometry{6}), 1u);

    struct Shape {
        uint64_t height;
        std::vector<unsigned long long> launches_at_zip_syncs;  // launches made when each zip sync comes
    };
    // Height 12: 11 zip launches, synchronised after 4, 8 and 11. Height 9: 8, after 4 and 8 only
    // (the fourth launch that is also the last synchronises once).
    for (const Shape& shape : {Shape{12, {5, 9, 12}}, Shape{9, {5, 9}}}) {
        SCOPED_TRACE("height " + std::to_string(shape.height));
        const int zip_syncs = static_cast<int>(shape.launches_at_zip_syncs.size());
        const unsigned long long all_launches = shape.height + 1;  // layer 0, the zips, the final hash

        configureDevice();
        GuesserBuffer built = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{shape.height});
        ASSERT_NE(built.d_merkle_tree, nullptr);
        EXPECT_EQ(emu::launches(), all_launches);
        built.cleanup();

        // Synchronisation 1 follows layer 0; 2 .. zip_syncs + 1 the zip batches; the last the final ops.
        for (int sync = 1; sync <= zip_syncs + 2; ++sync) {
            configureDevice();
            emu::fail_nth(emu::Op::Synchronize, sync, cudaErrorLaunchFailure);
            GuesserBuffer buffer;
            const CapturedOutput c =
                capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{shape.height}); });
            const char* label = sync == 1                ? "sync build_layer0_from_commitment"
                                : sync <= zip_syncs + 1 ? "sync merkle_zip batch"
                                                        : "sync final ops";
            EXPECT_EQ(c.err, std::string("[ERR][") + label + "] unspecified launch failure\n") << "sync " << sync;
            EXPECT_TRUE(is_default(buffer));
            const unsigned long long expected_launches =
                sync == 1 ? 1 : sync <= zip_syncs + 1 ? shape.launches_at_zip_syncs[sync - 2] : all_launches;
            EXPECT_EQ(emu::launches(), expected_launches) << "sync " << sync;
        }

        // One more synchronisation than the build makes is left for the next caller.
        configureDevice();
        emu::fail_nth(emu::Op::Synchronize, zip_syncs + 3, cudaErrorLaunchFailure);
        GuesserBuffer buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{shape.height});
        EXPECT_NE(buffer.d_merkle_tree, nullptr);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
        cudaGetLastError();
    }
}

struct FaultCase {
    emu::Op op;
    int nth;
    cudaError_t error;
    const char* label;
};

// Height 6: launches are layer 0 (1), five zips (2-6) and the final hash (7); synchronisations are
// layer 0 (1), the zip batches after zips 4 and 5 (2, 3) and the final ops (4).
const FaultCase FAULTS[] = {
    {emu::Op::StreamCreate, 1, cudaErrorMemoryAllocation, "create stream"},
    {emu::Op::Malloc, 1, cudaErrorMemoryAllocation, "malloc d_internal_nodes"},
    {emu::Op::Memset, 1, cudaErrorInvalidValue, "memset d_internal_nodes"},
    {emu::Op::Launch, 1, cudaErrorInvalidConfiguration, "launch build_layer0_from_commitment"},
    {emu::Op::Synchronize, 1, cudaErrorLaunchFailure, "sync build_layer0_from_commitment"},
    {emu::Op::Kernel, 1, cudaErrorIllegalAddress, "sync build_layer0_from_commitment"},
    {emu::Op::Launch, 2, cudaErrorLaunchOutOfResources, "launch merkle_zip layer"},
    {emu::Op::Launch, 6, cudaErrorInvalidDeviceFunction, "launch merkle_zip layer"},
    {emu::Op::Synchronize, 2, cudaErrorLaunchTimeout, "sync merkle_zip batch"},
    {emu::Op::Kernel, 6, cudaErrorIllegalAddress, "sync merkle_zip batch"},
    {emu::Op::Malloc, 2, cudaErrorMemoryAllocation, "malloc d_final_hash"},
    {emu::Op::Memcpy, 1, cudaErrorInvalidValue, "memcpy merkle_root"},
    {emu::Op::Launch, 7, cudaErrorNoKernelImageForDevice, "launch compute_final_hash"},
    {emu::Op::Memcpy, 2, cudaErrorUnknown, "memcpy final_hash"},
    {emu::Op::Synchronize, 4, cudaErrorLaunchFailure, "sync final ops"},
    {emu::Op::Kernel, 7, cudaErrorIllegalAddress, "sync final ops"},
};

TEST(GuesserBuffer, EveryFailurePrintsItsLabelAndReleasesEverything)
{
    for (const FaultCase& fault : FAULTS) {
        SCOPED_TRACE(std::string(fault.label) + " #" + std::to_string(fault.nth));
        configureDevice();
        emu::fail_nth(fault.op, fault.nth, fault.error);
        GuesserBuffer buffer;
        const CapturedOutput c = capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6}); });
        EXPECT_EQ(c.err, std::string("[ERR][") + fault.label + "] " + cudaGetErrorString(fault.error) + "\n");
        EXPECT_TRUE(is_default(buffer));
        EXPECT_EQ(emu::live_allocations(), 0u);
        EXPECT_EQ(emu::live_streams(), 0u);
    }
}

TEST(GuesserBuffer, TheProductTreeNeedsTwentyGibibytes)
{
    configureDevice((size_t(20) << 30) - 1);
    GuesserBuffer buffer;
    const CapturedOutput c = capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths()); });
    EXPECT_EQ(c.err, "[ERR][malloc d_internal_nodes] out of memory\n");
    EXPECT_TRUE(is_default(buffer));
    EXPECT_EQ(emu::live_allocations(), 0u);
    EXPECT_EQ(emu::live_streams(), 0u);
}

TEST(GuesserBuffer, OwnsItsDeviceArrays)
{
    configureDevice();
    {
        GuesserBuffer empty;
        const CapturedOutput c = capture_output([&] {
            empty.cleanup();
            empty.cleanup();
        });
        EXPECT_EQ(c.out + c.err, "");
        EXPECT_TRUE(is_default(empty));
    }

    GuesserBuffer built = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6});
    Digest* const tree = built.d_merkle_tree;
    ASSERT_NE(tree, nullptr);
    const Digest root = built.merkle_root;

    GuesserBuffer moved(std::move(built));
    EXPECT_EQ(built.d_merkle_tree, nullptr);
    EXPECT_EQ(moved.d_merkle_tree, tree);
    EXPECT_EQ(moved.merkle_root, root);
    built.cleanup();  // frees nothing: the moved-from buffer owns nothing
    EXPECT_EQ(emu::live_allocations(), 1u);

    {
        GuesserBuffer assigned = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6});
        EXPECT_EQ(emu::live_allocations(), 2u);
        assigned = std::move(moved);  // the array it held is freed
        EXPECT_EQ(emu::live_allocations(), 1u);
        EXPECT_EQ(assigned.d_merkle_tree, tree);
        EXPECT_EQ(moved.d_merkle_tree, nullptr);
    }  // the destructor frees the rest
    EXPECT_EQ(emu::live_allocations(), 0u);

    GuesserBuffer twice = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6});
    const CapturedOutput c = capture_output([&] {
        twice.cleanup();
        twice.cleanup();
    });
    EXPECT_EQ(c.out + c.err, "");
    EXPECT_EQ(twice.d_merkle_tree, nullptr);
    EXPECT_EQ(twice.merkle_tree_size, 0u);
    EXPECT_EQ(twice.num_leafs, 64u);  // no leaf array was held, so its count stays
    EXPECT_EQ(twice.merkle_root, root);  // digests and paths outlive the release
    EXPECT_TRUE(same_paths(twice.mast_paths, TestData::get_mast_paths()));
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST(GuesserBuffer, CleanupWarnsAboutFailedFreesAndGoesOn)
{
    configureDevice();
    GuesserBuffer buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6});
    ASSERT_NE(buffer.d_merkle_tree, nullptr);
    void* leafs = nullptr;
    ASSERT_EQ(cudaMalloc(&leafs, 64), cudaSuccess);
    buffer.d_leafs = static_cast<Digest*>(leafs);
    cudaDeviceReset();  // both pointers are stale now

    const CapturedOutput c = capture_output([&] { buffer.cleanup(); });
    EXPECT_EQ(c.err,
              "Warning: Failed to free d_merkle_tree: invalid argument\n"
              "Warning: Failed to free d_leafs: invalid argument\n");
    EXPECT_EQ(buffer.d_merkle_tree, nullptr);
    EXPECT_EQ(buffer.merkle_tree_size, 0u);
    EXPECT_EQ(buffer.d_leafs, nullptr);
    EXPECT_EQ(buffer.num_leafs, 0u);
    cudaGetLastError();
}

TEST(PreprocessPuzzle, InstallsTheBufferAndReplacesThePreviousOne)
{
    configureDevice();
    const PowMastPaths paths = TestData::get_mast_paths();
    bool installed = false;
    CapturedOutput c = capture_output([&] {
        installed = preprocessPuzzle(puzzle_of(paths, "[1,2,3,4,171]"), GuesserGeometry{6});
    });
    ASSERT_TRUE(installed);
    EXPECT_EQ(c.out, "\n=== STARTING GPU PREPROCESSING ===\nThreshold: [1,2,3,4,171]\nTarget: 0xab\n" + build_debug_lines());
    EXPECT_EQ(c.err, "");
    ASSERT_NE(current_buffer, nullptr);
    const reference::Tree tree = reference::build_tree(paths.commit(), 6);
    EXPECT_EQ(current_buffer->merkle_root, tree.root());
    EXPECT_EQ(current_buffer->final_hash, H(tree.root(), paths.commit()));
    EXPECT_TRUE(same_paths(current_buffer->mast_paths, paths));

    std::mt19937_64 rng(5);
    const PowMastPaths other = random_paths(rng);
    Digest threshold{{0, 0, 0, 0, 0x1f2e3d4c5b6a}};
    c = capture_output([&] { installed = preprocessPuzzle(puzzle_of(other, digest_to_hex_padded(threshold)), GuesserGeometry{6}); });
    ASSERT_TRUE(installed);
    EXPECT_EQ(c.out, "\n=== STARTING GPU PREPROCESSING ===\nThreshold: " + digest_to_hex_padded(threshold) +
                         "\nTarget: 0x1f2e3d4c5b6a\n" + build_debug_lines());
    EXPECT_EQ(current_buffer->merkle_root, reference::build_tree(other.commit(), 6).root());
    EXPECT_EQ(emu::live_allocations(), 1u);  // the first buffer was released

    current_buffer.reset();
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST(PreprocessPuzzle, AFailedBuildLeavesTheInstalledBufferAlone)
{
    const CheckedPuzzle puzzle = puzzle_of(TestData::get_mast_paths(), "[0,0,0,0,1]");
    for (const FaultCase& fault : FAULTS) {
        SCOPED_TRACE(std::string(fault.label) + " #" + std::to_string(fault.nth));
        configureDevice();
        ASSERT_TRUE(capture_output([&] { EXPECT_TRUE(preprocessPuzzle(puzzle, GuesserGeometry{6})); }).err.empty());
        GuesserBuffer* const installed = current_buffer.get();
        Digest* const tree = installed->d_merkle_tree;
        const Digest root = installed->merkle_root;

        emu::fail_nth(fault.op, fault.nth, fault.error);
        bool result = true;
        const CapturedOutput c = capture_output([&] { result = preprocessPuzzle(puzzle, GuesserGeometry{6}); });
        EXPECT_FALSE(result);
        EXPECT_EQ(c.err, std::string("[ERR][") + fault.label + "] " + cudaGetErrorString(fault.error) +
                             "\n✗ GPU preprocessing failed!\n");
        EXPECT_EQ(current_buffer.get(), installed);
        EXPECT_EQ(current_buffer->d_merkle_tree, tree);
        EXPECT_EQ(current_buffer->merkle_root, root);
        EXPECT_EQ(emu::live_allocations(), 1u);
        EXPECT_EQ(emu::live_streams(), 0u);
    }
    current_buffer.reset();
}

TEST(CleanupGpuMemory, ReleasesTheBufferResetsTheDeviceAndReports)
{
    configureDevice(64 * MIB);
    capture_output([] { preprocessPuzzle(puzzle_of(TestData::get_mast_paths(), "[0,0,0,0,1]"), GuesserGeometry{6}); });
    ASSERT_NE(current_buffer, nullptr);
    void* stray = nullptr;
    ASSERT_EQ(cudaMalloc(&stray, 3 * MIB), cudaSuccess);  // device reset takes this too

    CapturedOutput c = capture_output([] { cleanup_gpu_memory(); });
    EXPECT_EQ(c.out,
              "Cleaning up GPU memory...\n"
              "Cleaning up current mining buffer...\n"
              "✓ GPU memory cleanup completed successfully\n"
              "GPU memory status after cleanup:\n"
              "  Free: 64 MB\n"
              "  Total: 64 MB\n"
              "  Used: 0 MB\n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(current_buffer, nullptr);
    EXPECT_EQ(emu::live_allocations(), 0u);

    // No buffer, a failing synchronisation and an error left pending by an earlier call.
    cudaSetDevice(7);
    emu::fail_nth(emu::Op::Synchronize, 1, cudaErrorLaunchFailure);
    c = capture_output([] { cleanup_gpu_memory(); });
    EXPECT_EQ(c.out,
              "Cleaning up GPU memory...\n"
              "Cleared pending CUDA error: unspecified launch failure\n"
              "✓ GPU memory cleanup completed successfully\n"
              "GPU memory status after cleanup:\n"
              "  Free: 64 MB\n"
              "  Total: 64 MB\n"
              "  Used: 0 MB\n");
    EXPECT_EQ(c.err, "Warning: CUDA synchronization error during cleanup: unspecified launch failure\n");

    cudaSetDevice(7);
    c = capture_output([] { cleanup_gpu_memory(); });
    EXPECT_EQ(c.out.substr(0, c.out.find("✓")),
              "Cleaning up GPU memory...\nCleared pending CUDA error: invalid device ordinal\n");
    EXPECT_EQ(c.err, "");
}

// The installed buffer is a static owner: it is destroyed during the process's exit, when the
// runtime's own statics may already be gone. Its free must still succeed silently.
TEST(CurrentBuffer, IsReleasedQuietlyAtProcessExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            configureDevice();
            if (!preprocessPuzzle(puzzle_of(TestData::get_mast_paths(), "[0,0,0,0,1]"), GuesserGeometry{6}))
                std::_Exit(3);
            std::cerr << "installed" << std::endl;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), ::testing::Matcher<const std::string&>(std::string("installed\n")));
}

}  // namespace
