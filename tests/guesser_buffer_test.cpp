#include <cstring>

#include "cli/test_data.h"
#include "diag/debug.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/device_test.h"
#include "support/guesser_reference.h"

namespace {

using support::capture_output;

void configure_device()
{
    current_buffer.reset();
    emu::Config config;
    config.device.total_memory = size_t(64) << 20;
    emu::configure(config);
}

bool same_paths(const PowMastPaths& a, const PowMastPaths& b) { return std::memcmp(&a, &b, sizeof(PowMastPaths)) == 0; }
bool is_empty(const GuesserBuffer& b) { return !b.d_merkle_tree && !b.merkle_tree_size && !b.d_leafs && !b.num_leafs; }

CheckedPuzzle puzzle_of(const PowMastPaths& paths, const std::string& threshold)
{
    CheckedPuzzle puzzle;
    puzzle.mast_paths = paths;
    puzzle.threshold_text = threshold;
    puzzle.threshold = parseDigestString(threshold);
    return puzzle;
}

// What a successful build writes on standard output: the switch is on unless this process read it
// before (it is read once, so the environment is put back at once).
std::string build_debug_lines()
{
    setenv("CRV_DEBUG", "1", 1);
    const bool on = crv_debug_runtime_enabled();
    unsetenv("CRV_DEBUG");
    return on ? "[DBG] preprocess: commitment computed\n[DBG] preprocess: merkle internal nodes built\n"
                "[DBG] preprocess: final hash and root obtained\n"
              : "";
}

TEST(GuesserBuffer, SmallTreesMatchTheHostModelNodeForNode)
{
    const std::string debug_lines = build_debug_lines();
    std::mt19937_64 rng(29);
    for (uint64_t height : {6, 9}) {
        SCOPED_TRACE("height " + std::to_string(height));
        configure_device();
        const PowMastPaths paths = reference::random_paths(rng);
        GuesserBuffer buffer;
        const support::CapturedOutput c = capture_output([&] { buffer = Pow::preprocess_gpu(paths, GuesserGeometry{height}); });
        EXPECT_EQ(c.out + c.err, debug_lines);
        ASSERT_NE(buffer.d_merkle_tree, nullptr);
        const uint64_t n = uint64_t(1) << height;
        EXPECT_TRUE(buffer.merkle_tree_size == n && buffer.num_leafs == n && buffer.d_leafs == nullptr);
        EXPECT_TRUE(same_paths(buffer.mast_paths, paths));
        EXPECT_EQ(emu::live_allocations() + emu::live_streams(), 1u);  // the node array alone

        const reference::Tree tree = reference::build_tree(paths.commit(), height);
        EXPECT_EQ(support::to_host(buffer.d_merkle_tree, n), tree.nodes);  // slot 0 stays zero
        EXPECT_EQ(buffer.merkle_root, tree.root());
        EXPECT_EQ(buffer.final_hash, reference::H(tree.root(), paths.commit()));
    }
}

struct FaultCase { emu::Op op; int nth; const char* label; unsigned long long launches; };  // launches made by then

// Height 6: launches are layer 0 (1), five zips (2-6) and the final hash (7); synchronisations
// follow layer 0 (1), the fourth and the last zip (2, 3) and the final copies (4).
const FaultCase FAULTS[] = {
    {emu::Op::StreamCreate, 1, "create stream", 0},  {emu::Op::Malloc, 1, "malloc d_internal_nodes", 0},
    {emu::Op::Memset, 1, "memset d_internal_nodes", 0}, {emu::Op::Launch, 1, "launch build_layer0_from_commitment", 0},
    {emu::Op::Synchronize, 1, "sync build_layer0_from_commitment", 1},
    {emu::Op::Kernel, 1, "sync build_layer0_from_commitment", 1},  // a fault while the kernel runs
    {emu::Op::Launch, 2, "launch merkle_zip layer", 1},    {emu::Op::Launch, 6, "launch merkle_zip layer", 5},
    {emu::Op::Synchronize, 2, "sync merkle_zip batch", 5}, {emu::Op::Synchronize, 3, "sync merkle_zip batch", 6},
    {emu::Op::Kernel, 6, "sync merkle_zip batch", 6},      {emu::Op::Malloc, 2, "malloc d_final_hash", 6},
    {emu::Op::Memcpy, 1, "memcpy merkle_root", 6},         {emu::Op::Launch, 7, "launch compute_final_hash", 6},
    {emu::Op::Memcpy, 2, "memcpy final_hash", 7},          {emu::Op::Synchronize, 4, "sync final ops", 7},
    {emu::Op::Kernel, 7, "sync final ops", 7},
};

TEST(GuesserBuffer, EveryFailurePrintsItsLabelAndReleasesEverything)
{
    for (const FaultCase& fault : FAULTS) {
        SCOPED_TRACE(std::string(fault.label) + " #" + std::to_string(fault.nth));
        configure_device();
        const cudaError_t error = fault.op == emu::Op::Malloc ? cudaErrorMemoryAllocation : cudaErrorLaunchFailure;
        emu::fail_nth(fault.op, fault.nth, error);
        GuesserBuffer buffer;
        const support::CapturedOutput c =
            capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6}); });
        EXPECT_EQ(c.err, std::string("[ERR][") + fault.label + "] " + cudaGetErrorString(error) + "\n");
        EXPECT_TRUE(is_empty(buffer) && buffer.merkle_root == Digest{} && buffer.final_hash == Digest{} &&
                    same_paths(buffer.mast_paths, {}));
        EXPECT_EQ(emu::launches(), fault.launches);
        EXPECT_EQ(emu::live_allocations() + emu::live_streams(), 0u);
    }
}

TEST(GuesserBuffer, OwnsItsDeviceArraysAndWarnsAboutFailedFrees)
{
    configure_device();
    const auto build = [] { return Pow::preprocess_gpu(TestData::get_mast_paths(), GuesserGeometry{6}); };
    GuesserBuffer built = build(), moved(build()), empty;
    const Digest* const tree = built.d_merkle_tree;
    moved = std::move(built);  // the array `moved` held is freed, `built` owns nothing now
    EXPECT_TRUE(is_empty(built) && moved.d_merkle_tree == tree && emu::live_allocations() == 1);
    EXPECT_EQ(capture_output([&] { empty.cleanup(), built.cleanup(), moved.cleanup(), moved.cleanup(); }).err, "");
    EXPECT_TRUE(moved.d_merkle_tree == nullptr && moved.merkle_tree_size == 0 && moved.num_leafs == 64);  // no leaf array
    EXPECT_EQ(moved.merkle_root, build().merkle_root);  // digests and paths outlive the release
    EXPECT_EQ(emu::live_allocations(), 0u);             // the temporary's destructor freed its array

    GuesserBuffer stale = build();
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&stale.d_leafs), 64), cudaSuccess);
    cudaDeviceReset();  // both pointers are stale now
    EXPECT_EQ(capture_output([&] { stale.cleanup(); }).err,
              "Warning: Failed to free d_merkle_tree: invalid argument\nWarning: Failed to free d_leafs: invalid argument\n");
    EXPECT_TRUE(is_empty(stale));
    cudaGetLastError();
}

TEST(PreprocessPuzzle, InstallsReplacesOrOnFailureKeepsTheBufferAndCleanupGpuMemoryReleasesIt)
{
    configure_device();
    const std::string debug_lines = build_debug_lines();
    const PowMastPaths paths = TestData::get_mast_paths();
    const std::string hex = digest_to_hex_padded(Digest{{0, 0, 0, 0, 0x1f2e3d4c5b6a}});
    const std::string lines = "\n=== STARTING GPU PREPROCESSING ===\nThreshold: ";
    bool installed = false;
    support::CapturedOutput c = capture_output([&] { installed = preprocessPuzzle(puzzle_of(paths, "[1,2,3,4,171]"), GuesserGeometry{6}); });
    ASSERT_TRUE(installed);
    EXPECT_EQ(c.out, lines + "[1,2,3,4,171]\nTarget: 0xab\n" + debug_lines);
    EXPECT_EQ(current_buffer->merkle_root, reference::build_tree(paths.commit(), 6).root());
    PowMastPaths other = paths;
    other.kernel[0][0] ^= 1;
    c = capture_output([&] { installed = preprocessPuzzle(puzzle_of(other, hex), GuesserGeometry{6}); });
    ASSERT_TRUE(installed);
    EXPECT_EQ(c.out, lines + hex + "\nTarget: 0x1f2e3d4c5b6a\n" + debug_lines);
    EXPECT_TRUE(same_paths(current_buffer->mast_paths, other));
    EXPECT_EQ(emu::live_allocations(), 1u);  // the first buffer was released

    GuesserBuffer* const second = current_buffer.get();
    emu::fail_nth(emu::Op::Launch, 3, cudaErrorLaunchFailure);
    c = capture_output([&] { installed = preprocessPuzzle(puzzle_of(paths, hex), GuesserGeometry{6}); });
    EXPECT_FALSE(installed);
    EXPECT_EQ(c.err, "[ERR][launch merkle_zip layer] unspecified launch failure\n✗ GPU preprocessing failed!\n");
    EXPECT_TRUE(current_buffer.get() == second && same_paths(second->mast_paths, other));
    EXPECT_EQ(emu::live_allocations(), 1u);

    const std::string report = "✓ GPU memory cleanup completed successfully\nGPU memory status after cleanup:\n"
                               "  Free: 64 MB\n  Total: 64 MB\n  Used: 0 MB\n";
    c = capture_output([] { cleanup_gpu_memory(); });
    EXPECT_EQ(c.out + c.err, "Cleaning up GPU memory...\nCleaning up current mining buffer...\n" + report);
    EXPECT_TRUE(current_buffer == nullptr && emu::live_allocations() == 0);
    emu::fail_nth(emu::Op::Synchronize, 1, cudaErrorLaunchFailure);
    c = capture_output([] { cleanup_gpu_memory(); });  // no buffer; the failed synchronisation stays pending
    EXPECT_EQ(c.out, "Cleaning up GPU memory...\nCleared pending CUDA error: unspecified launch failure\n" + report);
    EXPECT_EQ(c.err, "Warning: CUDA synchronization error during cleanup: unspecified launch failure\n");
}

// The installed buffer is a static owner: it is destroyed during the process's exit, when the
// runtime's own statics may already be gone. Its free must still succeed silently.
TEST(CurrentBuffer, IsReleasedQuietlyAtProcessExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            configure_device();
            if (!preprocessPuzzle(puzzle_of(TestData::get_mast_paths(), "[0,0,0,0,1]"), GuesserGeometry{6})) std::_Exit(3);
            std::cerr << "installed" << std::endl;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), ::testing::Matcher<const std::string&>(std::string("installed\n")));
}

}  // namespace
