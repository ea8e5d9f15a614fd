// Splits the bridge's byte stream into lines. Bytes after a line feed stay for the next line, NUL
// bytes are ordinary data, and a line longer than the limit is dropped as it streams in (memory
// stays bounded by the limit plus one chunk) and the stream picks up again after its line feed.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kMaxBridgeLineBytes = std::size_t{1} << 20;

class LineBuffer {
public:
    explicit LineBuffer(std::size_t max_line_bytes = kMaxBridgeLineBytes) : max_line_bytes_(max_line_bytes) {}

    // Adds received bytes. Returns how many over-long lines began to be dropped by these bytes.
    std::size_t append(const char* data, std::size_t size);

    // Moves the first complete line (without its line feed) into `line`; false when there is none.
    bool take_line(std::string& line);

    bool has_line() const { return complete_lines_ > 0; }
    std::size_t buffered_bytes() const { return buffer_.size(); }
    std::size_t max_line_bytes() const { return max_line_bytes_; }

private:
    std::size_t max_line_bytes_;
    std::string buffer_;               // complete lines, each with its '\n', then the partial one
    std::size_t complete_lines_ = 0;
    std::size_t partial_length_ = 0;   // bytes of the unfinished last line in buffer_
    bool discarding_ = false;          // inside an over-long line: drop until its '\n'
};
