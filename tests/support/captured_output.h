// Runs a piece of test code with stdout and stderr captured, and hands back what each received.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Every part appears in `text`, each after the one before it.
inline testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& parts)
{
    size_t at = 0;
    for (size_t i = 0; i < parts.size(); at += parts[i++].size())
        if ((at = text.find(parts[i], at)) == std::string::npos)
            return testing::AssertionFailure() << "'" << parts[i] << "' missing in order in:\n" << text;
    return testing::AssertionSuccess();
}

}  // namespace support
