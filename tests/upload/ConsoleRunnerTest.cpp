#include "upload/ConsoleRunner.h"
#include "tests/support/TestNet.h"
#include "tests/upload/FakeAdbFixture.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Sh(const std::string& script) {
    return {"sh", "-c", script};
}

} // namespace

TEST(ConsoleRunner, CollectsOutputInOrderAcrossReads) {
    ConsoleRunner runner;
    // Far more than one 1023-byte read, with standard error in between.
    std::string expected;
    for (int i = 0; i < 2000; ++i)
        expected += "line" + std::to_string(i) + "\n";
    expected += "error: device not found\nafter\n";
    ASSERT_EQ(runner.Start(Sh("i=0; while [ $i -lt 2000 ]; do echo line$i; i=$((i+1)); done; "
                              "echo 'error: device not found' >&2; echo after; exit 3")),
              1);
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_EQ(runner.ExitCode(), 3);
    EXPECT_EQ(runner.Output(), expected);
    // The next command's output holds nothing of the last one's.
    ASSERT_EQ(runner.Start({"echo", "second"}), 1);
    runner.Finish();
    EXPECT_EQ(runner.Output(), "second\n");
}

// Finish sends the exit lines and closes the child's input, so a child that
// reads it ends; a second Start meanwhile leaves the running command alone.
TEST(ConsoleRunner, FinishEndsAChildThatReadsItsInput) {
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"cat"}), 1);
    EXPECT_EQ(runner.Start({"echo", "intruder"}), 0);
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_EQ(runner.Output(), "exit\r\nexit\r\n");
}

TEST(ConsoleRunner, WritingToAChildThatHasGoneDoesNotKillUs) {
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"true"}), 1);
    // Once the child has gone, a write fails instead of killing this process.
    while (runner.SendLines(std::string(100000, 'x') + "\n") != 0) {
    }
    EXPECT_EQ(runner.Finish(), 1);
}

// A pipe end leaked into a child would keep another command's output open.
TEST(ConsoleRunner, ChildrenInheritNoOtherPipes) {
    std::set<std::string> before; // what this process had from whoever started it
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        before.insert(fs::read_symlink(entry.path(), ec).string());
    }
    ConsoleRunner holder;
    ASSERT_EQ(holder.Start({"cat"}), 1);
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"find", "/proc/self/fd/", "-lname", "pipe:*", "-printf", "%f %l\n"}), 1);
    runner.Finish();
    holder.Finish();
    std::istringstream lines(runner.Output());
    int own = 0;
    for (std::string fd, target; lines >> fd >> target;) {
        const bool standard = fd == "0" || fd == "1" || fd == "2";
        own += standard ? 1 : 0;
        EXPECT_TRUE(standard || before.count(target)) << "inherited " << fd << " -> " << target;
    }
    EXPECT_EQ(own, 3);
}

// A child that hangs, with a grandchild holding the output pipe open as a
// forked server would: every way of giving up on it ends both.
class HangingChild : public ::testing::TestWithParam<std::string> {};

TEST_P(HangingChild, EndsWithItsGrandchild) {
    auto runner = std::make_unique<ConsoleRunner>();
    runner->SetTimeout(GetParam() == "TimeOut" ? 500 : 0);
    ASSERT_EQ(runner->Start(Sh("sleep 300 & echo $$ $!; sleep 300")), 1);
    std::string out;
    ASSERT_TRUE(testnet::WaitUntil([&] { return (out = runner->Output()).find('\n') != std::string::npos; }, 10000));
    pid_t child = 0, grandchild = 0;
    std::istringstream(out) >> child >> grandchild;
    if (GetParam() == "Cancel") {
        std::thread canceller([&] { runner->Cancel(); });
        EXPECT_EQ(runner->Finish(), 1);
        canceller.join();
        EXPECT_FALSE(runner->TimedOut());
        EXPECT_EQ(runner->Start({"true"}), 0); // a cancelled runner starts nothing more
    } else if (GetParam() == "TimeOut") {
        EXPECT_EQ(runner->Finish(), 1);
        EXPECT_TRUE(runner->TimedOut());
        EXPECT_EQ(runner->ExitCode(), 128 + SIGKILL);
        EXPECT_EQ(runner->Output(), out);
        ASSERT_EQ(runner->Start({"echo", "next"}), 1); // the runner goes on as before
        runner->Finish();
        EXPECT_FALSE(runner->TimedOut());
    } else {
        runner.reset();
    }
    EXPECT_TRUE(FakeAdbFixture::WaitGone(child));
    EXPECT_TRUE(FakeAdbFixture::WaitGone(grandchild));
}

INSTANTIATE_TEST_SUITE_P(Runner, HangingChild, ::testing::Values("Cancel", "TimeOut", "Release"),
                         [](const auto& info) { return info.param; });
