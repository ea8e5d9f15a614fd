// One log line written with a single insertion and flushed, so lines of two threads never mix.
#pragma once

#include <ostream>
#include <sstream>
#include <string>

inline void print_line(std::ostream& stream, const std::string& text)
{
    stream << (text + '\n') << std::flush;
}

// The same for a line assembled from several parts, as a stream would print them.
template <typename... Parts>
void print_parts(std::ostream& stream, const Parts&... parts)
{
    std::ostringstream text;
    (text << ... << parts);
    print_line(stream, text.str());
}
