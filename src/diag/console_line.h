// One log line written with a single insertion and flushed, so lines of two threads never mix.
// A thread that works for one card of several names it in front of each of its lines. Every line
// also goes to the log file, when there is one.
#pragma once

#include <ostream>
#include <sstream>
#include <string>

#include "diag/log_file.h"

// What every line this thread prints starts with ("GPU 1: "); empty unless set.
inline std::string& line_prefix()
{
    thread_local std::string prefix;
    return prefix;
}

inline void print_line(std::ostream& stream, const std::string& text)
{
    const std::string& prefix = line_prefix();
    // A blank line before, then the named line.
    const bool blank_first = !prefix.empty() && !text.empty() && text[0] == '\n';
    const std::string line = blank_first ? '\n' + prefix + text.substr(1) + '\n' : prefix + text + '\n';
    stream << line << std::flush;
    log_to_file(line);
}

// The same for a line assembled from several parts, as a stream would print them.
template <typename... Parts>
void print_parts(std::ostream& stream, const Parts&... parts)
{
    std::ostringstream text;
    (text << ... << parts);
    print_line(stream, text.str());
}
