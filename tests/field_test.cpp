#include <gtest/gtest.h>

#include "hash/field.h"
#include "kernels/hash_kernels.h"
#include "support/field_reference.h"

namespace {

using reference::edge_values;

std::vector<uint64_t> edges_and_random(size_t random_count, uint64_t seed)
{
    std::vector<uint64_t> v = edge_values();
    std::vector<uint64_t> r = reference::random_canonical(random_count, seed);
    v.insert(v.end(), r.begin(), r.end());
    return v;
}

TEST(Field, AdditionMatchesReferenceOnEdgePairs)
{
    const auto values = edges_and_random(200, 1);
    for (uint64_t a : values)
        for (uint64_t b : values) ASSERT_EQ(field::add(a, b), reference::add(a, b)) << a << " + " << b;
}

TEST(Field, MontgomeryProductIsCanonicalProductTimesInverseR)
{
    const auto values = edges_and_random(200, 2);
    for (uint64_t a : values)
        for (uint64_t b : values) {
            uint64_t expected = reference::mul(reference::mul(a, b), field::R2_MOD_P);
            ASSERT_EQ(field::mont_mul(a, b), expected) << a << " * " << b;
        }
    // (p-1)^2 and 2^63 * 2^63: the borrow branch of the reduction
    EXPECT_EQ(field::mont_mul(field::P - 1, field::P - 1), reference::mont_reduce(1, 0));
    const uint64_t h = 1ull << 63;
    EXPECT_EQ(field::mont_mul(h, h), reference::mont_reduce(0, 1ull << 62));
}

TEST(Field, MontgomeryRoundTripAndResidues)
{
    EXPECT_EQ(0xFFFFFFFFull, reference::mod(static_cast<reference::u128>(1) << 64));
    for (uint64_t x : edges_and_random(500, 3)) {
        uint64_t m = field::mont_mul(x, field::R2_MOD_P);  // x * 2^64
        EXPECT_EQ(m, reference::mul(x, field::EPSILON));
        EXPECT_EQ(field::mont_reduce(m, 0), x);
    }
}

TEST(Field, Reduce128OnMdsSizedAccumulators)
{
    // Accumulators of the MDS layer stay below 2^84: hi below 2^20.
    std::vector<uint64_t> highs = {0, 1, 2, 0xFFFFF, 0x80000, 0xFFFFE};
    for (uint64_t lo : edges_and_random(100, 4)) {
        for (uint64_t hi : highs) {
            const reference::u128 x = (static_cast<reference::u128>(hi) << 64) | lo;
            ASSERT_EQ(field::reduce128(lo, hi), reference::mod(x)) << hi << ":" << lo;
        }
        ASSERT_EQ(field::reduce128(~0ull, 0xFFFFF), reference::mod((static_cast<reference::u128>(0xFFFFF) << 64) | ~0ull));
    }
}

TEST(Field, DeviceTwinsAgreeWithHost)
{
    emu::configure(emu::Config{});
    std::vector<uint64_t> a, b;
    const auto values = edges_and_random(60, 5);
    for (uint64_t x : values)
        for (uint64_t y : values) {
            a.push_back(x);
            b.push_back(y);
        }
    std::vector<uint64_t> b_small(b.size());
    for (size_t i = 0; i < b.size(); ++i) b_small[i] = b[i] >> 44;  // reduce128 needs hi < 2^20
    test_kernels::FieldResults sums_products, reductions;
    ASSERT_EQ(test_kernels::field_ops(a, b, sums_products), cudaSuccess);
    ASSERT_EQ(test_kernels::field_ops(a, b_small, reductions), cudaSuccess);
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(sums_products.sum[i], reference::add(a[i], b[i]));
        ASSERT_EQ(sums_products.mont_product[i], reference::mul(reference::mul(a[i], b[i]), field::R2_MOD_P));
        ASSERT_EQ(reductions.reduced[i], reference::mod((static_cast<reference::u128>(b_small[i]) << 64) | a[i]));
    }
}

}  // namespace
