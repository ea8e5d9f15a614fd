// The pieces under the bridge client that need no socket: line splitting, log cuts, the nesting
// guard, whole writes and the receive timeout value.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "bridge/client.h"
#include "bridge/json_depth.h"
#include "bridge/line_buffer.h"
#include "bridge/socket_writer.h"
#include "bridge/text_prefix.h"

namespace {

std::vector<std::string> take_all(LineBuffer& buffer)
{
    std::vector<std::string> lines;
    std::string line;
    while (buffer.take_line(line)) lines.push_back(line);
    return lines;
}

void append(LineBuffer& buffer, const std::string& bytes) { buffer.append(bytes.data(), bytes.size()); }

TEST(LineBuffer, KeepsEveryByteAfterALineFeedForTheNextLine)
{
    LineBuffer buffer;
    append(buffer, "{\"a\":1}\n{\"b\"");
    EXPECT_TRUE(buffer.has_line());
    std::string line;
    ASSERT_TRUE(buffer.take_line(line));
    EXPECT_EQ(line, "{\"a\":1}");
    EXPECT_FALSE(buffer.has_line());
    EXPECT_FALSE(buffer.take_line(line));
    EXPECT_EQ(line, "{\"a\":1}");  // untouched without a line

    append(buffer, ":2}\n\n");
    EXPECT_EQ(take_all(buffer), (std::vector<std::string>{"{\"b\":2}", ""}));
    EXPECT_EQ(buffer.buffered_bytes(), 0u);

    // A NUL is data like any other byte: it neither ends the line nor cuts the chunk.
    const std::string with_nul("ab\0cd\nef\n", 9);
    append(buffer, with_nul);
    EXPECT_EQ(take_all(buffer), (std::vector<std::string>{std::string("ab\0cd", 5), "ef"}));
}

TEST(LineBuffer, DropsOverLongLinesAndResynchronisesAtTheNextLineFeed)
{
    LineBuffer buffer(8);
    EXPECT_EQ(buffer.append("12345678\n", 9), 0u);  // exactly the limit: kept
    EXPECT_EQ(take_all(buffer), std::vector<std::string>{"12345678"});

    // Over the limit across several appends: dropped once, memory stays within the limit.
    EXPECT_EQ(buffer.append("ok\n12345", 8), 0u);
    EXPECT_EQ(buffer.append("6789", 4), 1u);
    EXPECT_LE(buffer.buffered_bytes(), 8u);
    EXPECT_EQ(buffer.append("abcdefghijklmnop", 16), 0u);  // still inside the dropped line
    EXPECT_EQ(buffer.append("xyz\nnext\n", 9), 0u);
    EXPECT_EQ(take_all(buffer), (std::vector<std::string>{"ok", "next"}));

    // A complete over-long line inside one append, and two of them: one count each.
    EXPECT_EQ(buffer.append("123456789\nfine\n123456789012\n", 28), 2u);
    EXPECT_EQ(take_all(buffer), std::vector<std::string>{"fine"});
    EXPECT_EQ(LineBuffer().max_line_bytes(), 1048576u);
}

TEST(TextPrefix, CutsAtCharactersNotBytes)
{
    EXPECT_EQ(text_prefix("abcdef", 3), "abc");
    EXPECT_EQ(text_prefix("abc", 3), "abc");
    EXPECT_EQ(text_prefix("ab", 16), "ab");
    EXPECT_EQ(text_prefix("", 4), "");
    EXPECT_EQ(text_prefix("abc", 0), "");
    // "é" is two bytes, "🎯" four: a cut never splits either.
    EXPECT_EQ(text_prefix("\xC3\xA9" "a" "\xF0\x9F\x8E\xAF" "b", 3), "\xC3\xA9" "a" "\xF0\x9F\x8E\xAF");
    EXPECT_EQ(text_prefix("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
}

TEST(JsonNesting, CountsOpenContainersOutsideStrings)
{
    EXPECT_FALSE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 4));
    EXPECT_TRUE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 3));
    EXPECT_FALSE(json_nesting_exceeds("[\"[[[[[[\"]", 1));
    EXPECT_FALSE(json_nesting_exceeds("[\"\\\"[[[[\"]", 1));  // an escaped quote does not end the string
    EXPECT_FALSE(json_nesting_exceeds("[][][][]", 1));
    EXPECT_TRUE(json_nesting_exceeds(std::string(129, '['), 128));
    EXPECT_FALSE(json_nesting_exceeds(std::string(128, '[') + std::string(128, ']'), 128));
}

// A socket stand-in that accepts a few bytes per call and is interrupted once.
struct FakeSocket {
    static std::string written;
    static int calls;
    static int flags_seen;
    static ssize_t trickle(int, const void* data, std::size_t size, int flags)
    {
        flags_seen |= flags;
        if (++calls == 2) {
            errno = EINTR;
            return -1;
        }
        const std::size_t n = size < 3 ? size : 3;
        written.append(static_cast<const char*>(data), n);
        return static_cast<ssize_t>(n);
    }
    static ssize_t broken(int, const void*, std::size_t, int)
    {
        errno = EPIPE;
        return -1;
    }
    static ssize_t stalled(int, const void*, std::size_t, int) { return 0; }
};
std::string FakeSocket::written;
int FakeSocket::calls = 0;
int FakeSocket::flags_seen = 0;

TEST(SendWhole, CompletesShortWritesRetriesInterruptsAndNeverRaisesSigpipe)
{
    const std::string line = "{\"RequestPuzzle\":null}\n";
    EXPECT_TRUE(send_whole(7, line.data(), line.size(), &FakeSocket::trickle));
    EXPECT_EQ(FakeSocket::written, line);
    EXPECT_EQ(FakeSocket::calls, 9);  // 23 bytes in eight pieces of at most 3, plus the interrupted call
    EXPECT_EQ(FakeSocket::flags_seen, MSG_NOSIGNAL);

    EXPECT_FALSE(send_whole(7, line.data(), line.size(), &FakeSocket::broken));
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), &FakeSocket::stalled));
    EXPECT_FALSE(send_whole(-1, line.data(), line.size()));  // the real send on no socket
}

TEST(ReceiveTimeout, WholeSecondsAndSinglePrecisionMicroseconds)
{
    const timeval ten = receive_timeout_value(10.0f);
    EXPECT_EQ(ten.tv_sec, 10);
    EXPECT_EQ(ten.tv_usec, 0);
    const timeval two_and_a_half = receive_timeout_value(2.5f);
    EXPECT_EQ(two_and_a_half.tv_sec, 2);
    EXPECT_EQ(two_and_a_half.tv_usec, 500000);
    const timeval tenth = receive_timeout_value(0.1f);
    EXPECT_EQ(tenth.tv_sec, 0);
    EXPECT_EQ(tenth.tv_usec, 100000);
    // Values the socket must refuse stay refusable (negative microseconds), never undefined.
    EXPECT_LT(receive_timeout_value(-0.5f).tv_usec, 0);
    EXPECT_LT(receive_timeout_value(std::nanf("")).tv_usec, 0);
}

}  // namespace
