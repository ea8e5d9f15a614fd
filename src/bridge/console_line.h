// One log line written with a single insertion and flushed, so lines of two threads never mix.
#pragma once

#include <ostream>
#include <string>

inline void print_line(std::ostream& stream, const std::string& text)
{
    stream << (text + '\n') << std::flush;
}
