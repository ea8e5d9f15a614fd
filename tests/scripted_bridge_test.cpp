// The background mode of the scripted bridge that end-to-end tests of the miner's loops use.
#include <gtest/gtest.h>

#include <string>

#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "support/scripted_bridge.h"

namespace {

TEST(ScriptedBridge, ServeAnswersEveryLineAndTakesTheNextConnection)
{
    support::ScriptedBridge bridge;
    int requests = 0;
    bridge.serve([&](const std::string& line) -> std::string {
        if (line != "{\"RequestPuzzle\":null}") return "";  // solutions get no answer
        ++requests;
        return "{\"msg_type\":\"error\",\"message\":\"No puzzle available\"}\n{\"n\":" + std::to_string(requests) + "}\n";
    });

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int connection = 0; connection < 2; ++connection) {
        CorvaneCudaMinerClient client(bridge.host(), bridge.port());
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.send_message(nlohmann::json{{"SubmitSolution", 1}}));
        ASSERT_TRUE(client.send_message(puzzle_request_message()));
        EXPECT_EQ(client.receive_message(5.0f).value("message", ""), "No puzzle available");
        EXPECT_EQ(client.receive_message(5.0f), (nlohmann::json{{"n", connection + 1}}));
        client.disconnect();
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    bridge.stop_serving();

    EXPECT_EQ(bridge.lines_seen(),
              (std::vector<std::string>{"{\"SubmitSolution\":1}", "{\"RequestPuzzle\":null}",
                                        "{\"SubmitSolution\":1}", "{\"RequestPuzzle\":null}"}));
}

}  // namespace
