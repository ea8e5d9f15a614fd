// Runs a piece of test code with stdout and stderr captured, and hands back what each received.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace support {

struct CapturedOutput {
    std::string out;
    std::string err;
};

template <typename Body>
CapturedOutput capture_output(Body body)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    CapturedOutput o;
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// Non-overlapping occurrences of `what` in captured text.
inline size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

}  // namespace support
