#include <gtest/gtest.h>

#include <stdexcept>

#include "hash/digest.h"
#include "kernels/hash_kernels.h"
#include "support/field_reference.h"

namespace {

Digest make(uint64_t e0, uint64_t e1 = 0, uint64_t e2 = 0, uint64_t e3 = 0, uint64_t e4 = 0)
{
    return Digest{{e0, e1, e2, e3, e4}};
}

TEST(DigestHex, ShortFormDropsLeadingZeros)
{
    EXPECT_EQ(digest_to_hex(Digest{}), "0");
    EXPECT_EQ(digest_to_hex(make(1)), "1" + std::string(78, '0'));
    EXPECT_EQ(digest_to_hex(make(0, 1)), "1" + std::string(62, '0'));
    EXPECT_EQ(digest_to_hex(make(0xab)), "ab" + std::string(78, '0'));
    EXPECT_EQ(digest_to_hex(make(0, 0, 0, 0, 0x0100000000000000ull)), "1");
    // Little-endian bytes, element 0 first, lowercase.
    EXPECT_EQ(digest_to_hex_padded(make(0x0123456789abcdefull, 0, 0, 0, 0xff)),
              "efcdab8967452301" + std::string(48, '0') + "ff00000000000000");
    EXPECT_EQ(digest_to_hex_padded(Digest{}), std::string(80, '0'));
}

TEST(DigestHex, ParsingCorners)
{
    EXPECT_EQ(hex_to_digest(""), Digest{});
    EXPECT_EQ(hex_to_digest("0x"), Digest{});
    EXPECT_EQ(hex_to_digest("0X12"), make(0x1200));  // only a lowercase prefix is removed
    EXPECT_EQ(hex_to_digest("ab"), make(171));
    EXPECT_EQ(hex_to_digest("0xab"), make(171));
    EXPECT_EQ(hex_to_digest("abc"), make(0xbc0a));  // odd length: a '0' goes in front
    EXPECT_EQ(hex_to_digest(digest_to_hex(make(1))), make(1));
    EXPECT_EQ(hex_to_digest("AB"), make(0xab));
    std::string long_text = digest_to_hex_padded(make(1, 2, 3, 4, 5)) + "ffff";
    EXPECT_EQ(hex_to_digest(long_text), make(1, 2, 3, 4, 5));
    EXPECT_THROW(hex_to_digest("zz"), std::invalid_argument);
    try {
        hex_to_digest("01zz");
        FAIL() << "no error for a pair without digits";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "stoi");
    }
    EXPECT_EQ(hex_to_digest("1z"), make(1));  // conversion stops at the first non-digit
}

TEST(DigestHex, EightyDigitsRoundTrip)
{
    for (uint64_t seed = 0; seed < 50; ++seed) {
        auto e = reference::random_canonical(5, 900 + seed);
        Digest d = make(e[0], e[1], e[2], e[3], e[4]);
        if (seed % 5 == 0) d[0] &= ~0xFFull;  // a leading 00 byte
        EXPECT_EQ(hex_to_digest(digest_to_hex_padded(d)), d);
        EXPECT_EQ(digest_to_hex_padded(d).size(), 80u);
    }
}

TEST(DigestArray, ParsingCorners)
{
    EXPECT_EQ(arrayStringToDigest("[1,2,3,4,5]"), make(1, 2, 3, 4, 5));
    EXPECT_EQ(arrayStringToDigest("[1, 2, 3]"), make(1, 2, 3));
    EXPECT_EQ(arrayStringToDigest("[1,2,3,4,5,6]"), make(1, 2, 3, 4, 5));
    EXPECT_EQ(arrayStringToDigest("[-1,0,0,0,0]"), make(18446744073709551615ull));

    testing::internal::CaptureStderr();
    EXPECT_EQ(arrayStringToDigest("1,2,3,4,5"), Digest{});
    EXPECT_EQ(arrayStringToDigest("[]"), Digest{});
    EXPECT_EQ(arrayStringToDigest(""), Digest{});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(arrayStringToDigest("[1,x,3,4,5]"), make(1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error parsing array element: x - stoull\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(arrayStringToDigest("[1,2,99999999999999999999,4,5]"), make(1, 2));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error parsing array element: 99999999999999999999 - stoull\n");
}

TEST(DigestParse, ChoosesTheParserByBrackets)
{
    EXPECT_EQ(parseDigestString("[7,0,0,0,9]"), make(7, 0, 0, 0, 9));
    EXPECT_EQ(parseDigestString("07"), make(7));
    EXPECT_EQ(parseDigestString(""), Digest{});
    EXPECT_THROW(parseDigestString("[1,2"), std::invalid_argument);  // not bracketed: read as hex
}

TEST(DigestOrder, ElementFourIsMostSignificant)
{
    const Digest a = make(5, 5, 5, 5, 5);
    EXPECT_TRUE(digest_less_than_or_equal(a, a));
    EXPECT_TRUE(digest_less_than_or_equal(make(9, 0, 0, 0, 1), make(0, 0, 0, 0, 2)));
    EXPECT_FALSE(digest_less_than_or_equal(make(0, 0, 0, 0, 2), make(9, 0, 0, 0, 1)));
    EXPECT_TRUE(digest_less_than_or_equal(make(4, 5, 5, 5, 5), a));
    EXPECT_FALSE(digest_less_than_or_equal(make(6, 5, 5, 5, 5), a));
    EXPECT_TRUE(digest_less_than_or_equal(make(9, 4, 5, 5, 5), a));
    EXPECT_FALSE(digest_less_than_or_equal(make(0, 5, 5, 6, 5), a));
}

TEST(DigestOrder, DeviceTwinAgreesExceptThatEqualityIsNotMet)
{
    emu::configure(emu::Config{});
    std::vector<uint64_t> a, b;
    auto r = reference::random_canonical(5 * 400, 31);
    for (size_t i = 0; i < 400; ++i)
        for (int k = 0; k < 5; ++k) {
            a.push_back(r[5 * i + k] % 3);  // small values: many ties at every position
            b.push_back((r[5 * i + k] >> 20) % 3);
        }
    std::vector<uint32_t> out;
    ASSERT_EQ(test_kernels::digest_comparisons(a, b, out), cudaSuccess);
    for (size_t i = 0; i < 400; ++i) {
        Digest da = make(a[5 * i], a[5 * i + 1], a[5 * i + 2], a[5 * i + 3], a[5 * i + 4]);
        Digest db = make(b[5 * i], b[5 * i + 1], b[5 * i + 2], b[5 * i + 3], b[5 * i + 4]);
        ASSERT_EQ(out[i] != 0, digest_less_than_or_equal(da, db) && da != db) << i;
    }
    EXPECT_FALSE(digest_less_than_or_equal_device(make(1, 2, 3, 4, 5), make(1, 2, 3, 4, 5)));
    EXPECT_TRUE(digest_less_than_or_equal_device(make(0, 2, 3, 4, 5), make(1, 2, 3, 4, 5)));
}

TEST(DigestSelfTest, PrintsTheRoundTrip)
{
    testing::internal::CaptureStdout();
    test_hex_conversion();
    const std::string text = testing::internal::GetCapturedStdout();
    const std::string hex = "7ac9e07da18623447e8829ae73c6b77721e5575103d166e87da29e58d4081389d36b5221f7f96c54";
    EXPECT_EQ(text, "Testing hex conversion functions...\nOriginal hex: " + hex +
                        "\nDigest values: [4909916046923712890, 8626581811396970622, 16746302076603589921, "
                        "9877248115866509949, 6083512036481985491]\nConverted hex: " +
                        hex + "\nMatch: YES\nSUCCESS: Hex conversion round-trip works correctly!\n\n");
}

}  // namespace
