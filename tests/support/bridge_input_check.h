// Properties of the bridge's input handling for arbitrary bytes, shared by the deterministic
// random-input test and the libFuzzer target (fuzz/). Each returns an empty text when every
// property held, otherwise what went wrong.
#pragma once

#include <cstddef>
#include <string>

namespace support {

// Feeds `bytes` to a LineBuffer in pieces of `chunk` bytes with line limit `max_line_bytes`, and
// checks that the lines taken are exactly the terminated lines of `bytes` no longer than the
// limit, in order, and that the buffer never holds more than the limit plus one piece beyond its
// complete lines.
std::string check_line_splitting(const std::string& bytes, std::size_t chunk, std::size_t max_line_bytes);

// Runs one line through the client's reply parsing, the fetcher's reply handling and
// parsePowPuzzle. Checks that nothing escapes but the reply handler's documented type error, that
// every announced puzzle's canonical text parses back to the same text, and that
// parsePowPuzzle's result survives the canonical round trip.
std::string check_reply_line(const std::string& line);

}  // namespace support
