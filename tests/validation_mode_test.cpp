#include "cli/test_data.h"
#include "cli/validation_test.h"
#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/guesser_reference.h"

namespace {

// The test mode on a 64-leaf tree of the emulator's device against `expected`, the nth allocation
// failing if asked: its status, and its output with every line between newlines.
std::pair<int, support::CapturedOutput> run(const TestData::Expected& expected, int failing_malloc = 0)
{
    emu::configure(emu::Config{});
    if (failing_malloc != 0) emu::fail_nth(emu::Op::Malloc, failing_malloc, cudaErrorMemoryAllocation);
    int status = -100;
    support::CapturedOutput c = support::capture_output([&] { status = runValidationTest(0, GuesserGeometry{6}, expected); });
    c.out = "\n" + c.out;
    return {status, c};
}

// Each of `lines` appears as a whole line, in this order.
void expect_lines_in_order(const std::string& out, const std::vector<std::string>& lines)
{
    size_t at = 0;
    for (const std::string& line : lines) {
        at = out.find("\n" + line + "\n", at);
        ASSERT_NE(at, std::string::npos) << "missing (or out of order): \"" << line << "\"";
        at += line.size() + 1;
    }
}

// What a correct build of the built-in paths gives on a 64-leaf tree, from the host model.
TestData::Expected host_expectations()
{
    const PowMastPaths paths = TestData::get_mast_paths();
    const reference::Tree tree = reference::build_tree(paths.commit(), 6);
    TestData::Expected e;
    e.merkle_root = tree.root();
    e.buffer_hash = reference::H(tree.root(), paths.commit());
    std::tie(e.index_a, e.index_b) = Pow::indices(e.buffer_hash, TestData::get_start_nonce(), 63);
    const Pow pow = reference::candidate(tree, e.index_a, e.index_b, TestData::get_start_nonce());
    std::copy(pow.path_a, pow.path_a + 29, e.path_a.begin());
    std::copy(pow.path_b, pow.path_b + 29, e.path_b.begin());
    e.fast_mast_hash = paths.fast_mast_hash(pow);
    return e;
}

// The expectations are one consistent 2^29-leaf buffer of the built-in paths: each path leads from
// its leaf to the root, the buffer hash and the indices follow from the root. (The expected fast
// MAST hash follows from them; the GPU check's `corvane-miner --test` compares it.)
TEST(TestData, IsOneConsistentBufferOfTheBuiltInPaths)
{
    const Digest commitment = TestData::get_mast_paths().commit();
    EXPECT_EQ(digest_to_hex_padded(commitment), "2ad163f65ce02c244f2e086cb1edb5c434cf36bdbd4f0eb71d92769991e7fe56fb3edc47e67ba3f5");
    const TestData::Expected e = TestData::get_expected();
    for (const auto& [index, path] : {std::make_pair(e.index_a, e.path_a), std::make_pair(e.index_b, e.path_b)}) {
        const Digest leaf = reference::leaf(commitment, index, uint64_t(1) << 29);
        EXPECT_EQ(reference::root_from_path(leaf, index, std::vector<Digest>(path.begin(), path.end())), e.merkle_root);
    }
    EXPECT_EQ(e.buffer_hash, reference::H(e.merkle_root, commitment));
    EXPECT_EQ(Pow::indices(e.buffer_hash, TestData::get_start_nonce()), std::make_pair(uint64_t(104760745), uint64_t(164794829)));
    EXPECT_FALSE(digest_less_than_or_equal(e.fast_mast_hash, TestData::get_target()));  // a test nonce, no solution
    EXPECT_EQ(TestData::get_start_nonce(), (Digest{{954725793441775616ull, 0, 0, 0, 0}}));
    EXPECT_EQ(TestData::get_target(), (Digest{{1397412243755449870ull, 8140796950650562855ull, 16018309423481028611ull,
                                               3858019349456522651ull, 170148735ull}}));
}

TEST(ValidationTest, SmallTreeAgainstItsHostExpectationsMatchesEverywhereAndEndsWith0)
{
    const TestData::Expected e = host_expectations();
    const auto [status, r] = run(e);
    EXPECT_TRUE(status == 0 && r.err.empty()) << status << r.err;
    const Digest& h = e.fast_mast_hash;
    const std::string nonce = digest_to_hex(TestData::get_start_nonce()), target = digest_to_hex(TestData::get_target());
    expect_lines_in_order(r.out, {
        "Digest values: [4909916046923712890, 8626581811396970622, 16746302076603589921, 9877248115866509949, "
        "6083512036481985491]", "Match: YES", "SUCCESS: Hex conversion round-trip works correctly!",
        "✓ Using CUDA device 0: Corvane Emulated GPU", "✓ Compute capability: 8.9", "✓ Multiprocessors: 4",
        "✓ Max threads per block: 1024", "✓ Total global memory: 1 GB", "✓ Start nonce: " + nonce, "Computed commitment: " + digest_to_hex(TestData::get_mast_paths().commit()),
        "✓ Merkle root: " + digest_to_hex(e.merkle_root), "✓ Buffer hash: " + digest_to_hex(e.buffer_hash),
        "✅ Buffer hash matches expected value from log!", "✅ Buffer root matches expected value from log!",
        "Index A: " + std::to_string(e.index_a), "Index B: " + std::to_string(e.index_b),
        "✅ Indices match expected values from log!", "Path A matches: 29/29", "Path B matches: 29/29",
        "✅ FAST MAST HASH PERFECT MATCH!", "Hash <= Threshold: false",
        "✅ THRESHOLD CHECK CORRECT: Hash does not meet threshold as expected", "Computed block hash: " + digest_to_hex(h),
        "Target threshold: " + target, "Block hash as array: [" + std::to_string(h[0]) + "," + std::to_string(h[1]) +
            "," + std::to_string(h[2]) + "," + std::to_string(h[3]) + "," + std::to_string(h[4]) + "]",
        "❌ FAILURE: Solution does not meet threshold!", "Solution verified: NO"});
    EXPECT_EQ(support::count_of(r.out, "\n✅ path_a["), 29u);
    EXPECT_EQ(support::count_of(r.out, "\n✅ path_b["), 29u);
    EXPECT_EQ(support::count_of(r.out, "❌"), 1u);  // the start nonce is no solution
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST(ValidationTest, EachMismatchIsReportedAndEndsWith1)
{
    const TestData::Expected good = host_expectations();
    struct Case { void (*spoil)(TestData::Expected&); int failing_malloc; std::vector<std::string> lines; std::string err = ""; };
    const Case cases[] = {
        {[](TestData::Expected& e) { e.buffer_hash[2] ^= 1; }, 0,
         {"❌ Buffer hash does NOT match expected value from log!", "Computed: " + digest_to_hex(good.buffer_hash)}},
        {[](TestData::Expected& e) { e.merkle_root[0] ^= 1; }, 0, {"❌ Buffer root does NOT match expected value from log!"}},
        {[](TestData::Expected& e) { e.index_b ^= 1; }, 0, {"❌ Indices do NOT match expected values from log!"}},
        {[](TestData::Expected& e) { e.path_b[3][4] ^= 1; }, 0, {"❌ path_b[3]: MISMATCH", "Path B matches: 28/29"}},
        {[](TestData::Expected& e) { e.path_a[28][0] = 1; }, 0, {"❌ path_a[28]: MISMATCH", "   Computed: 0"}},
        {[](TestData::Expected& e) { e.fast_mast_hash[1] ^= 1; }, 0, {"❌ FAST MAST HASH MISMATCH!"}},
        // The node array, the leaves, the build's scratch, the final-hash slot, the solution's paths,
        // then the first guess's: a failed allocation is reported, the paths stay zero and match only
        // above the tree's height.
        {[](TestData::Expected&) {}, 7, {"❌ path_a[0]: MISMATCH", "   Computed: 0", "Path A matches: 23/29", "Path B matches: 23/29"},
         "[ERR][malloc d_path_a] out of memory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        TestData::Expected spoiled = good;
        c.spoil(spoiled);
        const auto [status, r] = run(spoiled, c.failing_malloc);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(r.err, c.err);
        expect_lines_in_order(r.out, c.lines);
    }
}

// Through the emulated executable: the statuses the process reports for --test.
TEST(ValidationTestProcess, TestOptionEndsWith255WithoutDeviceIndexOrTree)
{
    const std::string miner = CRV_MINER_EMU;
    if (miner.empty()) GTEST_SKIP() << "the emulated executable is not built";
    auto r = support::run_process(miner, {"corvane-miner", "--test"}, {"CRV_EMU_DEVICE_COUNT=0"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "No CUDA devices found!\n");
    r = support::run_process(miner, {"corvane-miner", "--gpu", "1", "--test"}, {"CRV_EMU_DEVICE_COUNT=1"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "❌ Error: GPU 1 not found!\n   Available GPUs: 0 to 0\n");
    // The emulated device holds 1 GiB: no build of the product tree's 20 GiB is even tried.
    r = support::run_process(miner, {"corvane-miner", "--test"}, {"CRV_EMU_DEVICE_COUNT=1"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err.rfind("Error: GPU 0 (Corvane Emulated GPU) has 1073741824 bytes free", 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), "✗ GPU preprocessing failed!\n");
    r = support::run_process(miner, {"corvane-miner", "--gpu", "1", "--test"},
                             {"CRV_EMU_DEVICE_COUNT=2", "CRV_EMU_DEVICE_MEMORY_MB=1024,8"});  // device 1 has 8 MiB
    EXPECT_EQ(r.err.rfind("Error: GPU 1 (Corvane Emulated GPU) has 8388608 bytes free", 0), 0u) << r.err;
}

}  // namespace
