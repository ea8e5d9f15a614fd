// Properties of the bridge's input handling for arbitrary bytes, checked by the libFuzzer target.
// Each returns an empty text when every property held, otherwise what went wrong.
#pragma once

#include <cstddef>
#include <string>

namespace support {

// Feeds `bytes` to a LineBuffer in pieces of `chunk` bytes with line limit `max_line_bytes`: the
// lines taken must be exactly the terminated lines of `bytes` no longer than the limit, in order,
// and the buffer must never hold more than the limit beyond its complete lines.
std::string check_line_splitting(const std::string& bytes, std::size_t chunk, std::size_t max_line_bytes);

// One line through the client's reply parsing, the fetcher's reply handling and parsePowPuzzle:
// nothing escapes but the reply handler's documented type error, an announced puzzle's canonical
// text reads back to itself and to the same checked record, and parsePowPuzzle's result survives
// the canonical round trip.
std::string check_reply_line(const std::string& line);

}  // namespace support
