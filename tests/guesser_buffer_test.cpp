#include <cstring>
#include <map>
#include <optional>
#include <tuple>

#include "cli/test_data.h"
#include "diag/debug.h"
#include "pow/buffer_memory.h"
#include "pow/guesser_buffer.h"
#include "pow/window_build.h"
#include "support/captured_output.h"
#include "support/device_test.h"
#include "support/guesser_reference.h"

namespace {

using support::capture_output;

void configure_device(size_t memory = size_t(64) << 20)
{
    emu::Config config;
    config.device.total_memory = memory;
    emu::configure(config);
}

// A small tree with little margin, in chunks of `chunk` leaves and launches of `launch` permutations.
GuesserGeometry small_tree(uint64_t height, LeafStorage leaves = LeafStorage::Stored, uint64_t chunk = 1u << 23,
                           uint64_t launch = 1u << 24)
{
    GuesserGeometry geometry{height};
    geometry.build = {leaves, chunk, launch, 1024};
    return geometry;
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

// Whole trees against the host model, one chunk or several (the last windows wrapping into the
// first leaves, across chunks), levels cut into many launches or none.
TEST(GuesserBuffer, SmallTreesMatchTheHostModelNodeForNode)
{
    const std::string debug_lines = build_debug_lines();
    struct Case { uint64_t height; LeafStorage leaves; uint64_t chunk, launch, stored; double share = 0; };
    const Case cases[] = {{1, LeafStorage::Stored, 2, 1, 2},        {6, LeafStorage::Computed, 1u << 23, 1u << 24, 0},
                          {6, LeafStorage::Stored, 16, 7, 64},      {9, LeafStorage::Computed, 64, 100, 0},
                          {12, LeafStorage::Stored, 1024, 2000, 4096}, {12, LeafStorage::Computed, 256, 1u << 24, 0},
                          {9, LeafStorage::Partial, 64, 100, 320, 0.65}};  // whole chunks: 5 of 8
    std::mt19937_64 rng(29);
    const PowMastPaths paths = reference::random_paths(rng);
    std::map<uint64_t, reference::Tree> trees;
    for (const Case& k : cases) {
        SCOPED_TRACE("height " + std::to_string(k.height) + ", chunk " + std::to_string(k.chunk));
        configure_device();
        GuesserBuffer buffer;
        const support::CapturedOutput c =
            capture_output([&] {
                GuesserGeometry geometry = small_tree(k.height, k.leaves, k.chunk, k.launch);
                geometry.build.stored_share = k.share;
                buffer = Pow::preprocess_gpu(paths, geometry);
            });
        EXPECT_EQ(c.out + c.err, debug_lines);
        ASSERT_NE(buffer.d_merkle_tree, nullptr);
        const uint64_t n = uint64_t(1) << k.height;
        const bool stored = k.stored > 0;
        EXPECT_TRUE(buffer.merkle_tree_size == n && buffer.num_leafs == n && buffer.stored_leafs == k.stored);
        EXPECT_EQ(buffer.d_leafs != nullptr, stored);
        EXPECT_TRUE(same_paths(buffer.mast_paths, paths));
        EXPECT_EQ(emu::live_allocations() + emu::live_streams(), stored ? 2u : 1u);  // the buffer's arrays alone

        if (!trees.count(k.height)) trees[k.height] = reference::build_tree(paths.commit(), k.height);
        const reference::Tree& tree = trees[k.height];
        EXPECT_EQ(support::to_host(buffer.d_merkle_tree, n), tree.nodes);  // slot 0 stays zero
        if (stored) {
            EXPECT_TRUE(support::to_host(buffer.d_leafs, k.stored) ==
                        std::vector<Digest>(tree.leaves.begin(), tree.leaves.begin() + k.stored));
        }
        EXPECT_EQ(buffer.merkle_root, tree.root());
        EXPECT_EQ(buffer.final_hash, reference::H(tree.root(), paths.commit()));
    }
}

// The leaf build's own steps on the host, counted: with the upper nodes and the buffer hash (one
// permutation each) at most 7.5 permutations per leaf, already for chunks of 512 leaves.
TEST(WindowBuild, CostsAtMostSevenAndAHalfPermutationsPerLeaf)
{
    const GuesserGeometry geometry = small_tree(11, LeafStorage::Stored, 512);
    const uint64_t n = geometry.num_leafs();
    const Digest commitment = TestData::get_mast_paths().commit();
    std::vector<Digest> nodes(n), leaves(n), scratch(window_build::scratch_digests(geometry));
    uint64_t permutations = 0, chunks = 0;
    const CountingPermutation permute{&permutations};
    const auto run = [&](const window_build::WindowStep& step) {
        for (uint64_t e = step.begin; e < step.begin + step.count; ++e) window_build::window_step(step, e, permute);
        return true;
    };
    EXPECT_TRUE(window_build::for_each_window_step(commitment, {nodes.data(), leaves.data(), scratch.data(), n}, geometry,
                                                   run, [&] { return ++chunks, true; }));
    EXPECT_EQ(chunks, 4u);
    EXPECT_LE(permutations + n / 2, 7.5 * n);
    const reference::Tree tree = reference::build_tree(commitment, 11);
    EXPECT_EQ(leaves, tree.leaves);
    EXPECT_TRUE(std::equal(nodes.begin() + n / 2, nodes.end(), tree.nodes.begin() + n / 2));  // layer 0
}

// Every leaf stored when nodes, leaves and scratch fit beside the margin, else as many whole chunks
// of them as fit, none when only the nodes and scratch do, else no build at all: one line with what
// is missing. The product's buffer stores all its leaves on an 80 GB card, 53% on a 32 GB one.
TEST(GuesserBuffer, StoresTheLeavesThatFitAndBuildsNothingWhenNothingFits)
{
    const BufferFootprint product = buffer_footprint(GuesserGeometry{});
    EXPECT_EQ(product.nodes, 21474836480u);
    EXPECT_LE(product.scratch, uint64_t(2) << 30);
    const uint64_t GiB = uint64_t(1) << 30;
    using L = LeafStorage;
    const uint64_t all = uint64_t(1) << 29, chunk = uint64_t(1) << 23;
    struct Row { uint64_t free; L requested; double share; std::optional<uint64_t> stored; };
    for (const Row& row : std::vector<Row>{{79 * GiB, L::Auto, 0, all},
                                           {79 * GiB, L::Computed, 0, 0},
                                           {32 * GiB, L::Auto, 0, 34 * chunk},
                                           {32 * GiB, L::Partial, 0, 34 * chunk},
                                           {32 * GiB, L::Partial, 0.5, 32 * chunk},
                                           {32 * GiB, L::Partial, 0.6, std::nullopt},
                                           {45 * GiB / 2, L::Auto, 0, 4 * chunk},
                                           {45 * GiB / 2, L::Stored, 0, std::nullopt},
                                           {16 * GiB, L::Auto, 0, std::nullopt}}) {
        GuesserBuildConfig build;
        build.leaves = row.requested;
        build.stored_share = row.share;
        EXPECT_EQ(fitting_stored_leafs(product, row.free, build), row.stored) << row.free << " " << row.share;
    }

    const BufferFootprint f = buffer_footprint(small_tree(6));  // one chunk of 64 leaves
    for (const auto& [memory, requested, chosen] : std::vector<std::tuple<uint64_t, L, std::optional<uint64_t>>>{
             {f.needed(64), L::Auto, 64}, {f.needed(64) - 1, L::Auto, 0},
             {f.needed(0), L::Computed, 0}, {f.needed(64) - 1, L::Stored, std::nullopt},
             {f.needed(0) - 1, L::Auto, std::nullopt}}) {
        SCOPED_TRACE(memory);
        configure_device(memory);
        GuesserBuffer buffer;
        const support::CapturedOutput c =
            capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), small_tree(6, requested)); });
        EXPECT_EQ(buffer.d_merkle_tree != nullptr, chosen.has_value());
        EXPECT_EQ(buffer.stored_leafs, chosen.value_or(0));
        if (chosen) continue;
        const uint64_t needed = f.needed(requested == L::Stored ? 64 : 0);
        EXPECT_EQ(c.err.rfind("Error: GPU 0 (Corvane Emulated GPU) has " + std::to_string(memory) + " bytes free", 0), 0u);
        EXPECT_NE(c.err.find("needs " + std::to_string(needed) + " bytes"), std::string::npos) << c.err;
        EXPECT_EQ(support::count_of(c.err, "\n"), 1u) << c.err;
        EXPECT_TRUE(emu::launches() == 0 && emu::live_allocations() + emu::live_streams() == 0);
    }
    emu::configure([] { emu::Config none; none.device_count = 0; return none; }());  // no device: no memory figures
    EXPECT_EQ(capture_output([] { Pow::preprocess_gpu(TestData::get_mast_paths(), small_tree(6)); }).err,
              std::string("[ERR][memory info] ") + cudaGetErrorString(cudaErrorNoDevice) + "\n");
}

struct FaultCase { emu::Op op; int nth; const char* label; unsigned long long launches; };  // launches made by then

// Height 6, leaves stored, one chunk: launches are the six window levels (1-6), five zips (7-11)
// and the final hash (12); synchronisations follow the chunk (1), the fourth and the last zip (2,
// 3) and the final copies (4); allocations are the nodes, the leaves, the scratch, the final hash.
const FaultCase FAULTS[] = {
    {emu::Op::StreamCreate, 1, "create stream", 0},    {emu::Op::Malloc, 1, "malloc d_internal_nodes", 0},
    {emu::Op::Memset, 1, "memset d_internal_nodes", 0}, {emu::Op::Malloc, 2, "malloc d_leafs", 0},
    {emu::Op::Malloc, 3, "malloc window scratch", 0},  {emu::Op::Launch, 1, "launch window_step", 0},
    {emu::Op::Launch, 6, "launch window_step", 5},     {emu::Op::Synchronize, 1, "sync window chunk", 6},
    {emu::Op::Kernel, 3, "sync window chunk", 6},  // a fault while a kernel runs
    {emu::Op::Launch, 7, "launch merkle_zip layer", 6}, {emu::Op::Launch, 11, "launch merkle_zip layer", 10},
    {emu::Op::Synchronize, 2, "sync merkle_zip batch", 10}, {emu::Op::Synchronize, 3, "sync merkle_zip batch", 11},
    {emu::Op::Kernel, 11, "sync merkle_zip batch", 11}, {emu::Op::Malloc, 4, "malloc d_final_hash", 11},
    {emu::Op::Memcpy, 1, "memcpy merkle_root", 11},     {emu::Op::Launch, 12, "launch compute_final_hash", 11},
    {emu::Op::Memcpy, 2, "memcpy final_hash", 12},      {emu::Op::Synchronize, 4, "sync final ops", 12},
    {emu::Op::Kernel, 12, "sync final ops", 12},
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
            capture_output([&] { buffer = Pow::preprocess_gpu(TestData::get_mast_paths(), small_tree(6)); });
        EXPECT_EQ(c.err, std::string("[ERR][") + fault.label + "] " + cudaGetErrorString(error) + "\n");
        EXPECT_TRUE(is_empty(buffer) && buffer.merkle_root == Digest{} && buffer.final_hash == Digest{} &&
                    same_paths(buffer.mast_paths, {}));
        EXPECT_EQ(emu::launches(), fault.launches);
        EXPECT_EQ(emu::live_allocations() + emu::live_streams(), 0u);
    }
    GuesserGeometry odd_chunks = small_tree(6, LeafStorage::Stored, 24);
    EXPECT_EQ(capture_output([&] { EXPECT_TRUE(is_empty(Pow::preprocess_gpu(TestData::get_mast_paths(), odd_chunks))); }).err,
              "Error: the guesser geometry is invalid\n");
}

TEST(GuesserBuffer, OwnsItsDeviceArraysAndWarnsAboutFailedFrees)
{
    configure_device();
    const auto build = [] { return Pow::preprocess_gpu(TestData::get_mast_paths(), small_tree(6, LeafStorage::Computed)); };
    GuesserBuffer built = build(), moved(build()), empty;
    const Digest* const tree = built.d_merkle_tree;
    moved = std::move(built);  // the array `moved` held is freed, `built` owns nothing now
    EXPECT_TRUE(is_empty(built) && moved.d_merkle_tree == tree && emu::live_allocations() == 1);
    EXPECT_EQ(capture_output([&] { empty.cleanup(), built.cleanup(), moved.cleanup(), moved.cleanup(); }).err, "");
    EXPECT_TRUE(moved.d_merkle_tree == nullptr && moved.merkle_tree_size == 0 && moved.num_leafs == 64);  // no leaf array
    EXPECT_EQ(moved.merkle_root, build().merkle_root);  // digests and paths outlive the release
    EXPECT_EQ(emu::live_allocations(), 0u);             // the temporary's destructor freed its array

    GuesserBuffer stale = Pow::preprocess_gpu(TestData::get_mast_paths(), small_tree(6));
    ASSERT_NE(stale.d_leafs, nullptr);
    cudaDeviceReset();  // both pointers are stale now
    EXPECT_EQ(capture_output([&] { stale.cleanup(); }).err,
              "Warning: Failed to free d_merkle_tree: invalid argument\nWarning: Failed to free d_leafs: invalid argument\n");
    EXPECT_TRUE(is_empty(stale));
    cudaGetLastError();
}

TEST(BuildGuesserBuffer, ReplacesTheBufferOrOnFailureKeepsItAndSaysWhyAndCleanupGpuMemoryReleasesIt)
{
    configure_device();
    const std::string debug_lines = build_debug_lines();
    const PowMastPaths paths = TestData::get_mast_paths();
    const std::string hex = digest_to_hex_padded(Digest{{0, 0, 0, 0, 0x1f2e3d4c5b6a}});
    const std::string lines = "\n=== STARTING GPU PREPROCESSING ===\nThreshold: ";
    GuesserBuffer buffer;
    GpuStatus status;
    bool built = false;
    const auto build = [&](const CheckedPuzzle& puzzle, const GuesserGeometry& geometry) {
        status = GpuStatus{};
        return capture_output([&] { built = buildGuesserBuffer(puzzle, geometry, buffer, status); });
    };
    support::CapturedOutput c = build(puzzle_of(paths, "[1,2,3,4,171]"), small_tree(6));
    ASSERT_TRUE(built);
    EXPECT_EQ(c.out, lines + "[1,2,3,4,171]\nTarget: 0xab\n" + debug_lines + "Mining mode: leaves stored in GPU memory\n");
    EXPECT_EQ(buffer.merkle_root, reference::build_tree(paths.commit(), 6).root());
    PowMastPaths other = paths;
    other.kernel[0][0] ^= 1;
    c = build(puzzle_of(other, hex), small_tree(6, LeafStorage::Computed));
    ASSERT_TRUE(built);
    EXPECT_EQ(c.out, lines + hex + "\nTarget: 0x1f2e3d4c5b6a\n" + debug_lines + "Mining mode: leaves computed on the fly\n");
    EXPECT_TRUE(same_paths(buffer.mast_paths, other));
    EXPECT_EQ(emu::live_allocations(), 1u);  // the first buffer was released

    // A failed launch, or a buffer that does not fit: the buffer stays; only the first is a GPU failure.
    GuesserGeometry too_big = small_tree(6);
    too_big.build.memory_margin = size_t(64) << 20;
    for (const bool fault : {true, false}) {
        if (fault) emu::fail_nth(emu::Op::Launch, 3, cudaErrorLaunchFailure);
        c = build(puzzle_of(paths, hex), fault ? small_tree(6) : too_big);
        EXPECT_FALSE(built);
        EXPECT_EQ(c.err.substr(0, fault ? 6 : 10), fault ? "[ERR][" : "Error: GPU") << c.err;
        EXPECT_EQ(c.err.substr(c.err.find('\n') + 1), "✗ GPU preprocessing failed!\n");
        EXPECT_EQ(status.code(), fault ? cudaErrorLaunchFailure : cudaSuccess);
        EXPECT_TRUE(same_paths(buffer.mast_paths, other));
        EXPECT_EQ(emu::live_allocations(), 1u);
    }

    const std::string report = "✓ GPU memory cleanup completed successfully\nGPU memory status after cleanup:\n"
                               "  Free: 64 MB\n  Total: 64 MB\n  Used: 0 MB\n";
    c = capture_output([&] { cleanup_gpu_memory(buffer); });
    EXPECT_EQ(c.out + c.err, "Cleaning up GPU memory...\nCleaning up current mining buffer...\n" + report);
    EXPECT_EQ(emu::live_allocations(), 0u);
    emu::fail_nth(emu::Op::Synchronize, 1, cudaErrorLaunchFailure);
    c = capture_output([&] { cleanup_gpu_memory(buffer); });  // no buffer; the failed synchronisation stays pending
    EXPECT_EQ(c.out, "Cleaning up GPU memory...\nCleared pending CUDA error: unspecified launch failure\n" + report);
    EXPECT_EQ(c.err, "Warning: CUDA synchronization error during cleanup: unspecified launch failure\n");
}

}  // namespace
