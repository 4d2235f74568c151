#include "upload/ConsoleRunner.h"
#include "tests/upload/FakeAdbFixture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Sh(const std::string& script) {
    return {"sh", "-c", script};
}

std::string WaitForOutput(ConsoleRunner& runner, const std::string& needle) {
    for (int i = 0; i < 500; ++i) {
        std::string out = runner.Output();
        if (out.find(needle) != std::string::npos)
            return out;
        std::this_thread::sleep_for(10ms);
    }
    return runner.Output();
}

} // namespace

TEST(ConsoleRunner, CollectsOutputInOrderAcrossReads) {
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"true"}), 1);
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_EQ(runner.Output(), "");

    // Far more than one 1023-byte read, with standard error in between.
    std::string expected;
    for (int i = 0; i < 2000; ++i)
        expected += "line" + std::to_string(i) + "\n";
    expected += "error: device not found\n";
    expected += "after\n";
    ASSERT_EQ(runner.Start(Sh("i=0; while [ $i -lt 2000 ]; do echo line$i; i=$((i+1)); done; "
                              "echo 'error: device not found' >&2; echo after; exit 3")),
              1);
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_EQ(runner.ExitCode(), 3);
    EXPECT_GT(expected.size(), 1023u * 10);
    EXPECT_EQ(runner.Output(), expected);

    // Each Start empties the output.
    ASSERT_EQ(runner.Start({"echo", "second"}), 1);
    runner.Finish();
    EXPECT_EQ(runner.Output(), "second\n");
}

TEST(ConsoleRunner, ExitLinesAndSendLinesReachTheChild) {
    ConsoleRunner runner;
    EXPECT_EQ(runner.SendLines("idle\n"), 0);
    EXPECT_EQ(runner.Finish(), 0);

    ASSERT_EQ(runner.Start({"cat"}), 1);
    // A second Start leaves the running command alone.
    EXPECT_EQ(runner.Start({"echo", "intruder"}), 0);
    EXPECT_EQ(runner.SendLines("a\nb"), 1);        // "b" has no LF: not sent
    EXPECT_EQ(runner.SendLines("  x  \n\t\n"), 1); // trimmed; a blank line stays a line
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_EQ(runner.Output(), "a\r\nx\r\n\r\nexit\r\nexit\r\n");
}

TEST(ConsoleRunner, WritingToAChildThatHasGoneDoesNotKillUs) {
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"true"}), 1);
    // Once the child has gone, a write fails instead of killing this process.
    while (runner.SendLines(std::string(100000, 'x') + "\n") != 0) {
    }
    EXPECT_EQ(runner.Finish(), 1);
}

TEST(ConsoleRunner, MissingProgram) {
    ConsoleRunner runner;
    EXPECT_EQ(runner.Start({"no-such-program-vantor"}), 0);
    EXPECT_EQ(runner.Start({}), 0);
    EXPECT_EQ(runner.Finish(), 0);
    EXPECT_EQ(RunAndWait({"no-such-program-vantor"}), 2);
    // The runner is still usable.
    ASSERT_EQ(runner.Start({"echo", "ok"}), 1);
    runner.Finish();
    EXPECT_EQ(runner.Output(), "ok\n");
}

TEST(ConsoleRunner, RunAndWaitWaitsForTheEnd) {
    FakeAdbFixture dir;
    const std::string marker = dir.work() + "/done";
    EXPECT_EQ(RunAndWait(Sh("sleep 0.3; touch '" + marker + "'")), 0);
    EXPECT_TRUE(fs::exists(marker));
}

TEST(ConsoleRunner, EnsureDirectory) {
    FakeAdbFixture dir;
    const std::string folder = dir.work() + "/made";
    EXPECT_EQ(EnsureDirectory(folder), 0);
    EXPECT_TRUE(fs::is_directory(folder));
    std::ofstream(folder + "/keep") << "x";
    EXPECT_EQ(EnsureDirectory(folder), 0); // existing: left as it is
    EXPECT_TRUE(fs::exists(folder + "/keep"));
    EXPECT_EQ(EnsureDirectory(dir.work() + "/missing/child"), -1);
    EXPECT_FALSE(fs::exists(dir.work() + "/missing"));
    EXPECT_EQ(EnsureDirectory(folder + "/keep"), -1); // a file is in the way
}

TEST(ConsoleRunner, ChildrenInheritNoOtherDescriptors) {
    // Pipes this process had before (from whoever started it) do not count.
    std::set<std::string> before;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        before.insert(fs::read_symlink(entry.path(), ec).string());
    }
    ConsoleRunner holder; // its pipe ends must not reach the second child
    ASSERT_EQ(holder.Start({"cat"}), 1);
    ConsoleRunner runner;
    ASSERT_EQ(runner.Start({"ls", "-l", "/proc/self/fd"}), 1);
    runner.Finish();
    holder.Finish();
    std::istringstream lines(runner.Output());
    int own = 0;
    for (std::string line; std::getline(lines, line);) {
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        std::string target = line.substr(arrow + 4);
        std::string fd = line.substr(line.rfind(' ', arrow - 1) + 1, arrow - line.rfind(' ', arrow - 1) - 1);
        if (fd == "0" || fd == "1" || fd == "2") {
            ++own;
            continue;
        }
        EXPECT_TRUE(target.rfind("pipe:", 0) != 0 || before.count(target)) << "child inherited " << line;
    }
    EXPECT_EQ(own, 3);
}

TEST(ConsoleRunner, CancelEndsAHangingChildAndItsGrandchild) {
    ConsoleRunner runner;
    // The grandchild keeps the output pipe open after the child would end.
    ASSERT_EQ(runner.Start(Sh("sleep 300 & echo grandchild $!; sleep 300")), 1);
    std::string out = WaitForOutput(runner, "grandchild ");
    pid_t grandchild = std::stoi(out.substr(out.find(' ') + 1));
    auto began = std::chrono::steady_clock::now();
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        runner.Cancel();
    });
    EXPECT_EQ(runner.Finish(), 1);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 6s);
    EXPECT_FALSE(runner.TimedOut());
    EXPECT_TRUE(FakeAdbFixture::WaitGone(grandchild));
    // A cancelled runner starts nothing more.
    EXPECT_EQ(runner.Start({"true"}), 0);
}

TEST(ConsoleRunner, TimeOutEndsAHangingChild) {
    ConsoleRunner runner;
    runner.SetTimeout(500);
    ASSERT_EQ(runner.Start(Sh("echo partial; sleep 300 & sleep 300")), 1);
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(runner.Finish(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 6s);
    EXPECT_TRUE(runner.TimedOut());
    EXPECT_EQ(runner.ExitCode(), 128 + SIGKILL);
    EXPECT_EQ(runner.Output(), "partial\n");
    // A later command on the same runner runs normally.
    ASSERT_EQ(runner.Start({"echo", "next"}), 1);
    runner.Finish();
    EXPECT_FALSE(runner.TimedOut());
    EXPECT_EQ(runner.Output(), "next\n");
}

TEST(ConsoleRunner, ReleasingARunningRunnerEndsItsChild) {
    pid_t child = 0;
    {
        ConsoleRunner runner;
        ASSERT_EQ(runner.Start(Sh("echo pid $$; sleep 300")), 1);
        std::string out = WaitForOutput(runner, "pid ");
        child = std::stoi(out.substr(4));
    }
    EXPECT_TRUE(FakeAdbFixture::ProcessGone(child));
}
