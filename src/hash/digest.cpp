#include "hash/digest.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "diag/console_line.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace

std::string digest_to_hex_padded(const Digest& digest)
{
    std::string text;
    text.reserve(DIGEST_HEX_LENGTH);
    for (int i = 0; i < Digest::LENGTH; ++i)
        for (int k = 0; k < 8; ++k) {
            unsigned byte = (digest[i] >> (8 * k)) & 0xFF;
            text.push_back(HEX_DIGITS[byte >> 4]);
            text.push_back(HEX_DIGITS[byte & 0xF]);
        }
    return text;
}

std::string digest_to_hex(const Digest& digest)
{
    std::string text = digest_to_hex_padded(digest);
    size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : text.substr(first);
}

Digest hex_to_digest(const std::string& text)
{
    Digest digest{};
    std::string hex = text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
    if (hex.size() % 2 != 0) hex.insert(hex.begin(), '0');
    const size_t pairs = hex.size() / 2;
    for (size_t j = 0; j < pairs && j < 8 * Digest::LENGTH; ++j) {
        uint64_t byte = static_cast<uint8_t>(std::stoi(hex.substr(2 * j, 2), nullptr, 16));
        digest[static_cast<int>(j / 8)] |= byte << (8 * (j % 8));
    }
    return digest;
}

Digest arrayStringToDigest(const std::string& text)
{
    Digest digest{};
    if (text.empty() || text.front() != '[' || text.back() != ']') return digest;
    const std::string body = text.substr(1, text.size() - 2);
    size_t start = 0;
    for (int i = 0; i < Digest::LENGTH && start <= body.size(); ++i) {
        size_t comma = body.find(',', start);
        std::string token = body.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (token.empty() && comma == std::string::npos && start == body.size()) break;
        try {
            digest[i] = std::stoull(token, nullptr, 10);
        } catch (const std::exception& error) {
            print_parts(std::cerr, "Error parsing array element: ", token, " - ", error.what());
            return digest;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return digest;
}

Digest parseDigestString(const std::string& text)
{
    if (!text.empty() && text.front() == '[' && text.back() == ']') return arrayStringToDigest(text);
    return hex_to_digest(text);
}

void test_hex_conversion()
{
    const std::string original = "7ac9e07da18623447e8829ae73c6b77721e5575103d166e87da29e58d4081389d36b5221f7f96c54";
    std::printf("Testing hex conversion functions...\n");
    Digest digest = hex_to_digest(original);
    std::printf("Original hex: %s\n", original.c_str());
    std::printf("Digest values: [%lu, %lu, %lu, %lu, %lu]\n", static_cast<unsigned long>(digest[0]),
                static_cast<unsigned long>(digest[1]), static_cast<unsigned long>(digest[2]),
                static_cast<unsigned long>(digest[3]), static_cast<unsigned long>(digest[4]));
    std::string converted = digest_to_hex(digest);
    std::printf("Converted hex: %s\n", converted.c_str());
    std::printf("Match: %s\n", converted == original ? "YES" : "NO");
    if (converted != original) {
        std::printf("ERROR: Hex conversion round-trip failed!\n");
        std::printf("Original: %s\n", original.c_str());
        std::printf("Converted: %s\n", converted.c_str());
        std::printf("\n");
    } else {
        std::printf("SUCCESS: Hex conversion round-trip works correctly!\n");
        std::printf("\n");
    }
}
