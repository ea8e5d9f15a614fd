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

}  // namespace support
