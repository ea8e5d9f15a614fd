#include "bridge/line_buffer.h"

#include <cstring>

std::size_t LineBuffer::append(const char* data, std::size_t size)
{
    std::size_t dropped = 0;
    while (size > 0) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
        const std::size_t segment = newline ? static_cast<std::size_t>(newline - data) : size;
        const std::size_t consumed = newline ? segment + 1 : segment;

        if (discarding_) {
            if (newline) discarding_ = false;
        } else if (partial_length_ + segment > max_line_bytes_) {
            buffer_.resize(buffer_.size() - partial_length_);
            partial_length_ = 0;
            ++dropped;
            discarding_ = newline == nullptr;  // a line that ends here resynchronises at once
        } else {
            buffer_.append(data, segment);
            if (newline) {
                buffer_.push_back('\n');
                ++complete_lines_;
                partial_length_ = 0;
            } else {
                partial_length_ += segment;
            }
        }
        data += consumed;
        size -= consumed;
    }
    return dropped;
}

bool LineBuffer::take_line(std::string& line)
{
    if (complete_lines_ == 0) return false;
    const std::size_t end = buffer_.find('\n');
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    --complete_lines_;
    return true;
}
