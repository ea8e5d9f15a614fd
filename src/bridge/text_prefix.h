// Log lines cut long texts to their first N characters. Characters are UTF-8 code points, so a
// cut never splits a multi-byte sequence.
#pragma once

#include <cstddef>
#include <string>

inline std::string text_prefix(const std::string& text, std::size_t characters)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every byte except a continuation byte (10xxxxxx) starts a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == characters) return text.substr(0, i);
            ++count;
        }
    }
    return text;
}
