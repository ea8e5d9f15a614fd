// The pieces under the bridge client that need no socket.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <cmath>

#include "bridge/client.h"
#include "bridge/json_depth.h"
#include "bridge/socket_writer.h"
#include "bridge/text_prefix.h"

namespace {

std::vector<std::string> feed(LineBuffer& buffer, const std::vector<std::string>& pieces, size_t dropped)
{
    std::vector<std::string> lines;
    size_t drops = 0;
    for (const std::string& piece : pieces) {
        drops += buffer.append(piece.data(), piece.size());
        for (std::string line; buffer.take_line(line);) lines.push_back(line);
        EXPECT_LE(buffer.buffered_bytes(), buffer.max_line_bytes());  // memory bounded by the limit
    }
    EXPECT_EQ(drops, dropped);
    return lines;
}

TEST(LineBuffer, SplitsLinesAcrossPiecesAndDropsOverLongOnes)
{
    LineBuffer buffer(8);
    using Lines = std::vector<std::string>;
    EXPECT_EQ(feed(buffer, {"{\"a\":1}\n{\"", "b\":2}\n\n", std::string("a\0b\n", 4)}, 0),
              (Lines{"{\"a\":1}", "{\"b\":2}", "", std::string("a\0b", 3)}));  // NUL is data
    EXPECT_EQ(feed(buffer, {"12345678\nok\n1234", "56789", "abcdefghijklmnop", "xyz\nnext\n"}, 1),
              (Lines{"12345678", "ok", "next"}));  // exactly the limit is kept; the stream resynchronises
    EXPECT_EQ(feed(buffer, {"123456789\nfine\n123456789012\nlast"}, 2), Lines{"fine"});
    EXPECT_EQ(feed(buffer, {"\n"}, 0), Lines{"last"});
    EXPECT_EQ(LineBuffer().max_line_bytes(), 1048576u);
}

TEST(TextPrefix, CutsAtCharactersNotBytes)
{
    EXPECT_EQ(text_prefix("abcdef", 3), "abc");
    EXPECT_EQ(text_prefix("ab", 16), "ab");
    EXPECT_EQ(text_prefix("abc", 0), "");
    EXPECT_EQ(text_prefix("\xC3\xA9" "a" "\xF0\x9F\x8E\xAF" "b", 3), "\xC3\xA9" "a" "\xF0\x9F\x8E\xAF");
}

TEST(JsonNesting, CountsOpenContainersOutsideStrings)
{
    EXPECT_FALSE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 4));
    EXPECT_TRUE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 3));
    EXPECT_FALSE(json_nesting_exceeds("[\"\\\"[[[[\"][][]", 1));  // in a string, escaped quote included
    EXPECT_TRUE(json_nesting_exceeds(std::string(129, '[')));
    EXPECT_FALSE(json_nesting_exceeds(std::string(128, '[') + std::string(128, ']')));
}

// A socket that takes at most three bytes per call and is interrupted once.
std::string written;
int calls = 0;
ssize_t trickle(int, const void* data, std::size_t size, int flags)
{
    EXPECT_EQ(flags, MSG_NOSIGNAL);  // a peer that has gone is an error result, not SIGPIPE
    if (++calls == 2) return errno = EINTR, -1;
    written.append(static_cast<const char*>(data), std::min<size_t>(size, 3));
    return static_cast<ssize_t>(std::min<size_t>(size, 3));
}

TEST(SendWhole, CompletesShortWritesAndRetriesInterrupts)
{
    const std::string line = "{\"RequestPuzzle\":null}\n";
    EXPECT_TRUE(send_whole(7, line.data(), line.size(), trickle));
    EXPECT_EQ(written, line);
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), [](int, const void*, size_t, int) -> ssize_t { return errno = EPIPE, -1; }));
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), [](int, const void*, size_t, int) -> ssize_t { return 0; }));
}

TEST(ReceiveTimeout, WholeSecondsAndSinglePrecisionMicroseconds)
{
    for (const auto& [seconds, sec, usec] : std::vector<std::tuple<float, long, long>>{{10.0f, 10, 0}, {2.5f, 2, 500000}, {0.1f, 0, 100000}}) {
        EXPECT_EQ(receive_timeout_value(seconds).tv_sec, sec);
        EXPECT_EQ(receive_timeout_value(seconds).tv_usec, usec);
    }
    EXPECT_LT(receive_timeout_value(-0.5f).tv_usec, 0);  // refused by the socket, never undefined
    EXPECT_LT(receive_timeout_value(std::nanf("")).tv_usec, 0);
}

}  // namespace
