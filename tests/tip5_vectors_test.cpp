#include <gtest/gtest.h>

#include "hash/tip5_host.h"

TEST(Tip5PublishedVectors, PairHashOfZeroAndItsChain)
{
    Tip5Digest zero{};
    Tip5Digest first = tip5_hash_fixed_host(zero, zero);
    EXPECT_EQ(first, (Tip5Digest{941080798860502477ull, 5295886365985465639ull, 14728839126885177993ull,
                                 10358449902914633406ull, 14220746792122877272ull}));
    Tip5Digest second = tip5_hash_fixed_host(first, zero);
    EXPECT_EQ(second, (Tip5Digest{15888421881075650037ull, 8699648354187865464ull, 6719068786850902915ull,
                                  16188941274693647820ull, 4768361305800190493ull}));
}
