// libFuzzer target: arbitrary bytes from the bridge through line splitting, reply parsing, the
// fetcher's reply handling and parsePowPuzzle. The first input byte picks the read size and
// the line limit, so short limits exercise the dropping of over-long lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bridge/line_buffer.h"
#include "bridge_input_properties.h"

namespace {

void fail(const std::string& problem)
{
    std::fprintf(stderr, "property violated: %s\n", problem.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The code under test logs every line; silence the streams (libFuzzer reports through stdio).
    std::cout.rdbuf(nullptr);
    std::cerr.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 97;
    const std::size_t limit = (data[0] & 0x80) ? 1 + data[0] % 61 : kMaxBridgeLineBytes;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string problem = support::check_line_splitting(bytes, chunk, limit);
    if (!problem.empty()) fail(problem);

    LineBuffer lines;
    lines.append(bytes.data(), bytes.size());
    std::string line;
    while (lines.take_line(line)) {
        problem = support::check_reply_line(line);
        if (!problem.empty()) fail(problem);
    }
    // The unterminated rest as one line too: the parsers see inputs without a line feed as well.
    const std::size_t last = bytes.rfind('\n');
    problem = support::check_reply_line(last == std::string::npos ? bytes : bytes.substr(last + 1));
    if (!problem.empty()) fail(problem);
    return 0;
}
