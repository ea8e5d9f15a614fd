// Digest: five field elements, element 0 first; element 4 is the most significant word in the
// threshold order. Two text forms: 80-character little-endian hex and "[e0,e1,e2,e3,e4]".
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "gpu/runtime.h"

// The five words as the host Tip5 entry points take and return them.
using Tip5Digest = std::array<uint64_t, 5>;

struct Digest {
    static constexpr int LENGTH = 5;
    uint64_t elements[LENGTH];

    CRV_HD uint64_t& operator[](int i) { return elements[i]; }
    CRV_HD const uint64_t& operator[](int i) const { return elements[i]; }

    Tip5Digest words() const { return {elements[0], elements[1], elements[2], elements[3], elements[4]}; }
    static Digest from_words(const Tip5Digest& w) { return Digest{{w[0], w[1], w[2], w[3], w[4]}}; }

    bool operator==(const Digest& other) const
    {
        for (int i = 0; i < LENGTH; ++i)
            if (elements[i] != other.elements[i]) return false;
        return true;
    }
    bool operator!=(const Digest& other) const { return !(*this == other); }
};

static_assert(sizeof(Digest) == 40, "Digest is five packed 64-bit words");

// A digest of device memory that no thread writes during the launch, through the read-only path.
CRV_HD Digest load_digest(const Digest* p)
{
#if defined(__CUDA_ARCH__)
    const unsigned long long* words = reinterpret_cast<const unsigned long long*>(p->elements);
    Digest d;
#pragma unroll
    for (int i = 0; i < Digest::LENGTH; ++i) d.elements[i] = __ldg(words + i);
    return d;
#else
    return *p;
#endif
}

constexpr size_t DIGEST_HEX_LENGTH = 80;

// Hex form with every leading '0' removed ("0" for the zero digest).
std::string digest_to_hex(const Digest& digest);
// The full 80-character form, left-padded with '0': what reads back to the same digest.
std::string digest_to_hex_padded(const Digest& digest);
Digest hex_to_digest(const std::string& text);
Digest arrayStringToDigest(const std::string& text);
Digest parseDigestString(const std::string& text);

// Elements 4 down to 1 decide at the first difference; equal there, element 0 decides. The host
// test accepts a hash equal to the threshold, the kernels' test does not.
CRV_HD bool digest_compare_impl(const uint64_t* a, const uint64_t* b, bool equal_meets)
{
    for (int i = Digest::LENGTH - 1; i > 0; --i) {
        if (a[i] < b[i]) return true;
        if (a[i] > b[i]) return false;
    }
    return equal_meets ? a[0] <= b[0] : a[0] < b[0];
}

inline bool digest_less_than_or_equal(const Digest& a, const Digest& b)
{
    return digest_compare_impl(a.elements, b.elements, true);
}

// The mining kernel's threshold test (host-callable too, so host models use the same rule).
CRV_HD bool digest_less_than_or_equal_device(const Digest& a, const Digest& b)
{
    return digest_compare_impl(a.elements, b.elements, false);
}

void test_hex_conversion();
