#include <gtest/gtest.h>

#include <signal.h>

#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using support::ChildProcess;
using support::run_process;

TEST(ChildProcess, SeparatesStreamsAndReportsHowItEnded)
{
    auto r = run_process("/bin/sh", {"sh", "-c", "echo out; echo err >&2; echo \"$0 $CRV_A ${HOME+home}\"; exit 3"},
                         {"CRV_A=x y", "HOME"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "out\nsh x y \n");  // argv[0] as given; HOME removed, CRV_A set
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.timed_out);

    r = run_process("/bin/sh", {"sh", "-c", "exit 255"});
    EXPECT_EQ(r.exit_status, 255);

    r = run_process("/nonexistent/program", {"program"});
    EXPECT_EQ(r.exit_status, 127);
}

TEST(ChildProcess, SignalsAndDeadlines)
{
    ChildProcess child("/bin/sh", {"sh", "-c", "trap 'echo got TERM; exit 7' TERM; echo ready; while :; do sleep 0.05; done"});
    ASSERT_TRUE(child.wait_for_output("ready\n", 10s));
    child.send_signal(SIGTERM);
    auto r = child.wait(10s);
    EXPECT_EQ(r.exit_status, 7);
    EXPECT_EQ(r.out, "ready\ngot TERM\n");

    r = run_process("/bin/sh", {"sh", "-c", "echo before; exec sleep 30"}, {}, 300ms);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.term_signal, SIGKILL);
    EXPECT_EQ(r.out, "before\n");
}

}  // namespace
