// Tip5 and Digest on the host: published values, the sponge from its definition, the text forms.
#include <stdexcept>

#include "support/captured_output.h"
#include "support/guesser_reference.h"

namespace {

using State = std::array<uint64_t, tip5::STATE_SIZE>;

Tip5Digest rate_of(const State& s) { return {s[0], s[1], s[2], s[3], s[4]}; }
Digest make(uint64_t e0, uint64_t e1 = 0, uint64_t e2 = 0, uint64_t e3 = 0, uint64_t e4 = 0) { return Digest{{e0, e1, e2, e3, e4}}; }

TEST(Tip5, PublishedTablesAndFixedLengthVectors)
{
    // The byte S-box, the cube map over F_257 shifted by one: used too sparsely by two hashes to rest on them.
    for (int x = 0; x < 256; ++x) ASSERT_EQ(LOOKUP_TABLE_HOST[x], static_cast<int>((x + 1) * (x + 1) * (x + 1) % 257) - 1) << x;
    const Tip5Digest first = tip5_hash_fixed_host({}, {});
    EXPECT_EQ(first, (Tip5Digest{941080798860502477ull, 5295886365985465639ull, 14728839126885177993ull,
                                 10358449902914633406ull, 14220746792122877272ull}));
    EXPECT_EQ(tip5_hash_fixed_host(first, {}), (Tip5Digest{15888421881075650037ull, 8699648354187865464ull,
                                                           6719068786850902915ull, 16188941274693647820ull, 4768361305800190493ull}));
}

TEST(Tip5Sponge, HostEntryPointsFollowTheirDefinitions)
{
    State s;
    for (uint64_t domain : {0, 1, 7}) {  // only FixedLength (1) sets the capacity
        s.fill(9);
        tip5_sponge_init_host(s.data(), static_cast<Domain>(domain));
        for (int i = 0; i < tip5::STATE_SIZE; ++i) EXPECT_EQ(s[i], domain == 1 && i >= 10 ? 1u : 0u) << domain;
    }
    // n < 10 overwrites slots 0..n-1 only, n > 10 uses the first 10 elements; then one permutation.
    const uint64_t chunk[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (size_t n : {3, 12}) {
        State a, expected;
        for (int i = 0; i < tip5::STATE_SIZE; ++i) a[i] = expected[i] = 500 + i;
        tip5_sponge_absorb_chunk_host(a.data(), chunk, n);
        std::copy(chunk, chunk + std::min<size_t>(n, 10), expected.begin());
        tip5_sponge_permutation_host(expected.data());
        EXPECT_EQ(a, expected) << n;
        uint64_t d[5];
        tip5_sponge_squeeze_host(a.data(), d);
        EXPECT_TRUE(std::equal(d, d + 5, a.begin()) && a == expected);  // squeezing does not permute
    }
    s = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 1, 1, 1, 1, 1};  // the pair hash: left, right, capacity ones
    tip5_permutation_host(s.data());
    EXPECT_EQ(tip5_hash_fixed_host({1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}), rate_of(s));
    for (size_t n : {0, 1, 9, 10, 11, 20, 300}) {  // the variable-length hash: full blocks, then [rest, 1, 0...]
        const auto e = reference::random_canonical(n, 40 + n);
        s = State{};
        size_t k = 0;
        for (; n - k >= 10; k += 10) {
            std::copy(e.begin() + k, e.begin() + k + 10, s.begin());
            tip5_permutation_host(s.data());
        }
        std::fill(s.begin(), s.begin() + 10, 0);
        std::copy(e.begin() + k, e.end(), s.begin());
        s[n - k] = 1;
        tip5_permutation_host(s.data());
        EXPECT_EQ(tip5_hash_varlen_host(e.data(), n), rate_of(s)) << n;
        uint64_t count = 0;
        tip5::hash_varlen(e.data(), n, CountingPermutation{&count});
        EXPECT_EQ(count, n / 10 + 1) << n;
    }
}

TEST(DigestText, HexFormsRoundTripAndParseTheirCorners)
{
    EXPECT_EQ(digest_to_hex(Digest{}), "0");
    EXPECT_EQ(digest_to_hex(make(1)), "1" + std::string(78, '0'));
    EXPECT_EQ(digest_to_hex(make(0, 1)), "1" + std::string(62, '0'));
    EXPECT_EQ(digest_to_hex(make(0, 0, 0, 0, 0x0100000000000000ull)), "1");
    EXPECT_EQ(digest_to_hex_padded(make(0x0123456789abcdefull, 0, 0, 0, 0xff)), "efcdab8967452301" + std::string(48, '0') + "ff00000000000000");
    for (uint64_t seed = 0; seed < 20; ++seed) {
        auto e = reference::random_canonical(5, 900 + seed);
        const Digest d = make(e[0] & ~0xFFull, e[1], e[2], e[3], e[4]);  // a leading 00 byte
        EXPECT_EQ(hex_to_digest(digest_to_hex_padded(d)), d);
    }
    const std::pair<std::string, Digest> cases[] = {
        {"", Digest{}}, {"0x", Digest{}}, {"0X12", make(0x1200)},  // only a lowercase prefix goes
        {"ab", make(171)}, {"0xab", make(171)}, {"AB", make(171)}, {"abc", make(0xbc0a)},  // odd: a '0' in front
        {"1z", make(1)},  // a pair stops at its first non-digit
        {digest_to_hex(make(1)), make(1)},  // 79 digits read as if a '0' stood in front
        {digest_to_hex_padded(make(1, 2, 3, 4, 5)) + "ffff", make(1, 2, 3, 4, 5)},  // past 80 digits: ignored
    };
    for (const auto& [text, digest] : cases) EXPECT_EQ(hex_to_digest(text), digest) << text;
    EXPECT_THROW(hex_to_digest("01zz"), std::invalid_argument);  // a pair without digits
}

TEST(DigestText, ArrayFormAndItsErrorLines)
{
    const struct { std::string text; Digest digest; std::string err; } cases[] = {
        {"[1,2,3,4,5]", make(1, 2, 3, 4, 5), ""}, {"[1, 2, 3]", make(1, 2, 3), ""}, {"[1,2,3,4,5,6]", make(1, 2, 3, 4, 5), ""},
        {"[-1,0,0,0,0]", make(18446744073709551615ull), ""}, {"1,2,3,4,5", Digest{}, ""}, {"[]", Digest{}, ""},
        {"[1,x,3,4,5]", make(1), "Error parsing array element: x - stoull\n"},
        {"[1,2,99999999999999999999,4,5]", make(1, 2), "Error parsing array element: 99999999999999999999 - stoull\n"},
    };
    for (const auto& c : cases) {
        Digest d{};
        EXPECT_EQ(support::capture_output([&] { d = arrayStringToDigest(c.text); }).err, c.err) << c.text;
        EXPECT_EQ(d, c.digest) << c.text;
    }
    EXPECT_EQ(parseDigestString("[7,0,0,0,9]"), make(7, 0, 0, 0, 9));
    EXPECT_EQ(parseDigestString("07"), make(7));
    EXPECT_THROW(parseDigestString("[1,2"), std::invalid_argument);  // not bracketed: read as hex
}

}  // namespace
