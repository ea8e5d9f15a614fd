#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli/test_data.h"
#include "cli/validation_test.h"
#include "gpu/runtime.h"
#include "support/child_process.h"
#include "support/expected_puzzle.h"
#include "support/guesser_reference.h"

namespace {

using reference::H;

void configureDevices(int count, size_t capacity = size_t(64) << 20)
{
    emu::Config config;
    config.device_count = count;
    config.device.total_memory = capacity;
    emu::configure(config);
}

struct TestRun {
    int status = -100;
    std::string out;
    std::string err;
    std::vector<std::string> lines;  // of standard output, without the debug lines (the switch is
                                     // whatever this process read first)
};

template <typename Body>
TestRun run(Body body)
{
    TestRun r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.status = body();
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("[DBG] ", 0) != 0) r.lines.push_back(line);
    return r;
}

int count_lines_starting(const TestRun& r, const std::string& prefix)
{
    return static_cast<int>(std::count_if(r.lines.begin(), r.lines.end(),
                                          [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

// Each of `expected` appears as a whole line, in this order.
void expect_lines_in_order(const TestRun& r, const std::vector<std::string>& expected)
{
    auto at = r.lines.begin();
    for (const std::string& line : expected) {
        auto found = std::find(at, r.lines.end(), line);
        ASSERT_NE(found, r.lines.end()) << "missing (or out of order): \"" << line << "\"";
        at = found + 1;
    }
}

TestData::Path padded(const std::vector<Digest>& path)
{
    TestData::Path out{};
    std::copy(path.begin(), path.end(), out.begin());
    return out;
}

Pow candidate_of(const Digest& root, const TestData::Path& a, const TestData::Path& b, const Digest& nonce)
{
    Pow pow;
    pow.root = root;
    std::copy(a.begin(), a.end(), pow.path_a);
    std::copy(b.begin(), b.end(), pow.path_b);
    pow.nonce = nonce;
    return pow;
}

// What a correct build of the built-in paths gives on a tree of `height` levels, from the host model.
TestData::Expected host_expectations(uint64_t height)
{
    const PowMastPaths paths = TestData::get_mast_paths();
    const Digest commitment = paths.commit();
    const reference::Tree tree = reference::build_tree(commitment, height);
    TestData::Expected expected;
    expected.merkle_root = tree.root();
    expected.buffer_hash = H(tree.root(), commitment);
    const auto [a, b] = Pow::indices(expected.buffer_hash, TestData::get_start_nonce(), (uint64_t(1) << height) - 1);
    expected.index_a = a;
    expected.index_b = b;
    expected.path_a = padded(reference::auth_path(tree, a));
    expected.path_b = padded(reference::auth_path(tree, b));
    expected.fast_mast_hash =
        paths.fast_mast_hash(candidate_of(tree.root(), expected.path_a, expected.path_b, TestData::get_start_nonce()));
    return expected;
}

TEST(TestData, ExpectationsAreTheIndependentlyComputedBuffer)
{
    const ExpectedPuzzle file = load_expected_puzzle();
    EXPECT_EQ(TestData::get_mast_paths().commit(), file.commitment);
    EXPECT_EQ(TestData::get_expected_merkle_root(), file.merkle_root);
    EXPECT_EQ(TestData::get_expected_buffer_hash(), file.final_hash);
    EXPECT_EQ(TestData::EXPECTED_INDEX_A, file.index_a);
    EXPECT_EQ(TestData::EXPECTED_INDEX_B, file.index_b);
    const TestData::Path a = TestData::get_expected_path_a(), b = TestData::get_expected_path_b();
    EXPECT_EQ(std::vector<Digest>(a.begin(), a.end()), file.paths.at(file.index_a));
    EXPECT_EQ(std::vector<Digest>(b.begin(), b.end()), file.paths.at(file.index_b));

    // Each path leads from its leaf of the 2^29-leaf tree to the expected root.
    const uint64_t n = uint64_t(1) << 29;
    for (uint64_t index : {file.index_a, file.index_b}) {
        const std::vector<Digest>& path = file.paths.at(index);
        EXPECT_EQ(reference::root_from_path(reference::leaf(file.commitment, index, n), index, path), file.merkle_root)
            << index;
    }

    const TestData::Expected expected = TestData::get_expected();
    EXPECT_EQ(expected.fast_mast_hash, TestData::get_expected_fast_mast_hash());
    EXPECT_EQ(expected.fast_mast_hash,
              TestData::get_mast_paths().fast_mast_hash(candidate_of(file.merkle_root, a, b, TestData::get_start_nonce())));
    EXPECT_NE(expected.fast_mast_hash, Digest{});
    // The start nonce is a test nonce, not a solution.
    EXPECT_FALSE(digest_less_than_or_equal(expected.fast_mast_hash, TestData::get_target()));

    EXPECT_EQ(TestData::get_start_nonce(), (Digest{{954725793441775616ull, 0, 0, 0, 0}}));
    EXPECT_EQ(TestData::get_target(), (Digest{{1397412243755449870ull, 8140796950650562855ull, 16018309423481028611ull,
                                               3858019349456522651ull, 170148735ull}}));
}

TEST(ValidationTest, EndsWith255WithoutTheDevice)
{
    configureDevices(0);
    TestRun r = run([] { return runValidationTest(0); });
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "No CUDA devices found!\n");
    expect_lines_in_order(r, {"=== CORVANE POW GPU VALIDATION TEST ===",
                              "Running comprehensive validation against Rust implementation",
                              "Testing hex conversion functions...", "Match: YES", "", "=== CUDA DEVICE CHECK ==="});
    EXPECT_EQ(r.lines.back(), "=== CUDA DEVICE CHECK ===");

    configureDevices(2);
    for (int gpu : {2, 7}) {
        r = run([&] { return runValidationTest(gpu); });
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.err, "❌ Error: GPU " + std::to_string(gpu) + " not found!\n   Available GPUs: 0 to 1\n");
        EXPECT_EQ(r.lines.back(), "=== CUDA DEVICE CHECK ===");
    }
}

TEST(ValidationTest, EndsWith255WhenTheNodeArrayCannotBeHad)
{
    configureDevices(1, (size_t(20) << 30) - 1);
    const TestRun r = run([] { return runValidationTest(0); });
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "[ERR][malloc d_internal_nodes] out of memory\n✗ GPU preprocessing failed!\n");
    EXPECT_EQ(r.lines.back(), "=== GPU PREPROCESSING TEST ===");
    EXPECT_EQ(count_lines_starting(r, "✓ GPU preprocessing completed"), 0);
    EXPECT_EQ(emu::live_allocations(), 0u);
    EXPECT_EQ(emu::live_streams(), 0u);
}

// The whole sequence on a small tree against the 2^29-leaf expectations: the buffer, indices,
// paths and fast MAST hash all differ, so the run reports mismatches and ends with 1.
TEST(ValidationTest, SmallTreeAgainstTheProductExpectationsReportsMismatches)
{
    configureDevices(1);
    const uint64_t height = 8;
    const TestData::Expected product = TestData::get_expected();
    const TestData::Expected host = host_expectations(height);
    const PowMastPaths paths = TestData::get_mast_paths();

    const TestRun r = run([&] { return runValidationTest(0, GuesserGeometry{height}, product); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");

    const std::string hx_root = digest_to_hex(host.merkle_root), hx_hash = digest_to_hex(host.buffer_hash);
    const std::string nonce = digest_to_hex(TestData::get_start_nonce());
    const std::string target = digest_to_hex(TestData::get_target());
    expect_lines_in_order(r, {
        "=== CORVANE POW GPU VALIDATION TEST ===",
        "=== CUDA DEVICE CHECK ===",
        "✓ Using CUDA device 0: Corvane Emulated GPU",
        "✓ Compute capability: 8.9",
        "✓ Multiprocessors: 4",
        "✓ Max threads per block: 1024",
        "✓ Total global memory: 0 GB",
        "",
        "=== TEST DATA PREPARATION ===",
        "✓ Test mast paths created with validated auth paths",
        "✓ Start nonce: " + nonce,
        "=== COMMITMENT DEBUG ===",
        "Auth path values being used:",
        "  pow[0]: " + digest_to_hex(paths.pow[0]),
        "  pow[1]: " + digest_to_hex(paths.pow[1]),
        "  pow[2]: " + digest_to_hex(paths.pow[2]),
        "  header[0]: " + digest_to_hex(paths.header[0]),
        "  header[1]: " + digest_to_hex(paths.header[1]),
        "  kernel[0]: " + digest_to_hex(paths.kernel[0]),
        "Computed commitment: " + digest_to_hex(paths.commit()),
        "=== GPU PREPROCESSING TEST ===",
        "✓ Merkle root: " + hx_root,
        "✓ Buffer hash: " + hx_hash,
        "=== BUFFER VALIDATION AGAINST RUST LOG ===",
        "❌ Buffer hash does NOT match expected value from log!",
        "Expected: " + digest_to_hex(product.buffer_hash),
        "Computed: " + hx_hash,
        "❌ Buffer root does NOT match expected value from log!",
        "Expected: " + digest_to_hex(product.merkle_root),
        "Computed: " + hx_root,
        "=== TESTING WITH ACTUAL SOLUTION ===",
        "Solution nonce: " + nonce,
        "Index A: " + std::to_string(host.index_a),
        "Index B: " + std::to_string(host.index_b),
        "=== FIRST GUESS PATH DEBUG ===",
        "First guess nonce: " + nonce,
        "Buffer hash: " + hx_hash,
        "Computed Index A: " + std::to_string(host.index_a),
        "Expected Index A: 104760745",
        "Computed Index B: " + std::to_string(host.index_b),
        "Expected Index B: 164794829",
        "❌ Indices do NOT match expected values from log!",
        "=== PATH_A VALIDATION ===",
        "❌ path_a[0]: MISMATCH",
        "   Computed: " + digest_to_hex(host.path_a[0]),
        "   Expected: " + digest_to_hex(product.path_a[0]),
        "❌ path_a[28]: MISMATCH",
        "   Computed: 0",  // above the small tree's height the computed path is zero
        "   Expected: " + digest_to_hex(product.path_a[28]),
        "Path A matches: 0/29",
        "=== PATH_B VALIDATION ===",
        "Path B matches: 0/29",
        "=== FAST MAST HASH DEBUG ===",
        "Computed fast_mast_hash: " + digest_to_hex(host.fast_mast_hash),
        "Expected fast_mast_hash: " + digest_to_hex(product.fast_mast_hash),
        "❌ FAST MAST HASH MISMATCH!",
        "Target threshold: " + target,
        "Hash <= Threshold: false",
        "Expected result: false (this is a test nonce, not a solution)",
        "✅ THRESHOLD CHECK CORRECT: Hash does not meet threshold as expected",
        "=== END FAST MAST HASH DEBUG ===",
        "=== END FIRST GUESS PATH DEBUG ===",
        "",
        "Computed block hash: " + digest_to_hex(host.fast_mast_hash),
        "Target threshold: " + target,
        "Hash <= Threshold: false",
        "",
        "Block hash as array: [" + std::to_string(host.fast_mast_hash[0]) + "," + std::to_string(host.fast_mast_hash[1]) +
            "," + std::to_string(host.fast_mast_hash[2]) + "," + std::to_string(host.fast_mast_hash[3]) + "," +
            std::to_string(host.fast_mast_hash[4]) + "]",
        "",
        "Threshold as array: [1397412243755449870,8140796950650562855,16018309423481028611,3858019349456522651,"
        "170148735]",
        "",
        "❌ FAILURE: Solution does not meet threshold!",
        "",
        "=== VALIDATION SUMMARY ===",
        "Buffer hash: " + hx_hash,
        "Buffer root: " + hx_root,
        "Solution verified: NO",
    });
    EXPECT_EQ(r.lines.back(), "Solution verified: NO");
    EXPECT_EQ(count_lines_starting(r, "❌ path_a["), 29);
    EXPECT_EQ(count_lines_starting(r, "❌ path_b["), 29);
    EXPECT_EQ(count_lines_starting(r, "   Computed: "), 58);
    EXPECT_EQ(count_lines_starting(r, "✓ GPU preprocessing completed in "), 1);
}

TEST(ValidationTest, SmallTreeAgainstItsHostExpectationsMatchesEverywhereAndEndsWith0)
{
    for (uint64_t height : {6u, 9u}) {
        SCOPED_TRACE("height " + std::to_string(height));
        configureDevices(1);
        const TestData::Expected expected = host_expectations(height);
        const TestRun r = run([&] { return runValidationTest(0, GuesserGeometry{height}, expected); });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        expect_lines_in_order(r, {"✅ Buffer hash matches expected value from log!",
                                  "✅ Buffer root matches expected value from log!",
                                  "Expected Index A: " + std::to_string(expected.index_a),
                                  "✅ Indices match expected values from log!", "Path A matches: 29/29",
                                  "Path B matches: 29/29", "✅ FAST MAST HASH PERFECT MATCH!",
                                  "✅ THRESHOLD CHECK CORRECT: Hash does not meet threshold as expected",
                                  "Computed block hash: " + digest_to_hex(expected.fast_mast_hash)});
        EXPECT_EQ(count_lines_starting(r, "✅ path_a["), 29);
        EXPECT_EQ(count_lines_starting(r, "✅ path_b["), 29);
        EXPECT_EQ(count_lines_starting(r, "❌"), 1);  // only the start nonce's "FAILURE": it is no solution
        EXPECT_EQ(emu::live_allocations(), 0u);
    }
}

TEST(ValidationTest, EachComparisonCanFailTheRunAlone)
{
    const uint64_t height = 7;
    const TestData::Expected good = host_expectations(height);
    struct Case {
        const char* what;
        void (*spoil)(TestData::Expected&);
        const char* mismatch_line;
    };
    const Case cases[] = {
        {"buffer hash", [](TestData::Expected& e) { e.buffer_hash[2] ^= 1; },
         "❌ Buffer hash does NOT match expected value from log!"},
        {"root", [](TestData::Expected& e) { e.merkle_root[0] ^= 1; },
         "❌ Buffer root does NOT match expected value from log!"},
        {"index B", [](TestData::Expected& e) { e.index_b ^= 1; }, "❌ Indices do NOT match expected values from log!"},
        {"path B entry 3", [](TestData::Expected& e) { e.path_b[3][4] ^= 1; }, "❌ path_b[3]: MISMATCH"},
        {"path A entry 28", [](TestData::Expected& e) { e.path_a[28][0] = 1; }, "❌ path_a[28]: MISMATCH"},
        {"fast MAST hash", [](TestData::Expected& e) { e.fast_mast_hash[1] ^= 1; }, "❌ FAST MAST HASH MISMATCH!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configureDevices(1);
        TestData::Expected spoiled = good;
        c.spoil(spoiled);
        const TestRun r = run([&] { return runValidationTest(0, GuesserGeometry{height}, spoiled); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(count_lines_starting(r, c.mismatch_line), 1);
        EXPECT_EQ(count_lines_starting(r, "❌"), 2);  // that one and the start nonce's "FAILURE"
    }
}

// A failed allocation of the first-guess paths is not reported: those paths stay zero, which only
// matches above the tree's height, and the run ends with 1.
TEST(ValidationTest, AFailedPathAllocationShowsAsMismatches)
{
    const uint64_t height = 7;
    configureDevices(1);
    // Allocations: the node array, the final-hash slot, the solution's two paths, then the first guess's.
    emu::fail_nth(emu::Op::Malloc, 5, cudaErrorMemoryAllocation);
    const TestRun r = run([&] { return runValidationTest(0, GuesserGeometry{height}, host_expectations(height)); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    expect_lines_in_order(r, {"=== PATH_A VALIDATION ===", "❌ path_a[0]: MISMATCH", "   Computed: 0",
                              "Path A matches: 22/29", "=== PATH_B VALIDATION ===", "Path B matches: 22/29",
                              "❌ FAST MAST HASH MISMATCH!"});
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

    // The emulated device holds 1 GiB: the product tree's 20 GiB node array cannot be had.
    r = support::run_process(miner, {"corvane-miner", "--test"}, {"CRV_EMU_DEVICE_COUNT=1"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "[ERR][malloc d_internal_nodes] out of memory\n✗ GPU preprocessing failed!\n");
    EXPECT_NE(r.out.find("\n=== GPU PREPROCESSING TEST ===\n"), std::string::npos);
}

}  // namespace
