// Copying and serialising nlohmann::json recurse once per nesting level, so a hostile line of
// a million '[' would overflow the stack long after parsing succeeded. Bridge messages nest a
// few levels; anything deeper is refused before parsing.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kMaxBridgeJsonDepth = 128;

// True when `text` opens more than `limit` arrays/objects at once (brackets inside strings do
// not count). Text that is not JSON may give either answer; the parser rejects it anyway.
bool json_nesting_exceeds(const std::string& text, std::size_t limit = kMaxBridgeJsonDepth);
