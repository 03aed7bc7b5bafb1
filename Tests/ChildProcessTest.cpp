// The test support's child-process runner on this system: the output of both streams as lines,
// arguments and environment as given, bounded waits, ending a child and its group, log files.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "Tests/ChildProcess.h"
#include "Tests/TempDirectory.h"

namespace {

using Milliseconds = ChildProcess::Milliseconds;
using Lines = std::vector<std::string>;

const std::string kHelper = KRI_CHILD_HELPER_PROGRAM;

TEST(ChildProcessOutput, BothStreamsArriveAsLinesInOrderWithTheExitStatus) {
    ChildProcess child(
        kHelper, {"out", "first", "err", "second", "out", "third", "partial", "end", "exit", "3"});
    EXPECT_EQ(child.waitForExit(), 3);
    EXPECT_EQ(child.lines(), (Lines{"first", "second", "third", "end"}));
    EXPECT_EQ(child.count("ir"), 2u);
    EXPECT_EQ(child.waitForLine("sec"), "second");
    // Output that has ended answers at once, whatever the time-out.
    EXPECT_FALSE(child.waitForLines("never", 1, Milliseconds(60000)));
}

TEST(ChildProcessOutput, ALogFileTakesTheOutputAndIsReadOnDemand) {
    TempDirectory directory("kri-child");
    const std::string log = directory / "child.log";
    ChildProcess child(kHelper, {"out", "ready", "sleep", "200", "err", "later", "exit", "0"},
                       ChildProcess::Options{{}, log, false});
    ASSERT_TRUE(child.waitForLine("ready")) << child.tail();
    EXPECT_EQ(child.waitForExit(), 0);
    EXPECT_EQ(child.lines(), (Lines{"ready", "later"}));
    std::ifstream file(log, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("later"), std::string::npos);

    // A child that appends to the log has only its own lines.
    ChildProcess::Options appending{{}, log, false};
    appending.appendToLog = true;
    ChildProcess next(kHelper, {"out", "next"}, appending);
    EXPECT_EQ(next.waitForExit(), 0);
    EXPECT_EQ(next.lines(), (Lines{"next"}));
    std::ifstream whole(log, std::ios::binary);
    const std::string both((std::istreambuf_iterator<char>(whole)), {});
    EXPECT_EQ(both.find("ready"), 0u) << both;
    EXPECT_NE(both.find("next"), std::string::npos) << both;
}

TEST(ChildProcessStart, ArgumentsAndEnvironmentArriveAsGiven) {
    const Lines awkward = {"two words", "", "say \"hi\"", "trailing\\", "back\\\\slash \\\"q\\\""};
    std::vector<std::string> arguments;
    for (const std::string& argument : awkward) {
        arguments.insert(arguments.end(), {"arg", argument});
    }
    arguments.insert(arguments.end(),
                     {"env", "KRI_CHILD_ADDED", "env", "KRI_CHILD_NEVER_SET", "env", "PATH"});
    ChildProcess child(kHelper, arguments, {"KRI_CHILD_ADDED=a value with spaces"});
    ASSERT_EQ(child.waitForExit(), 0) << child.tail();
    const Lines& lines = child.lines();
    ASSERT_EQ(lines.size(), awkward.size() + 3) << child.tail();
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        EXPECT_EQ(lines[i], "[" + awkward[i] + "]");
    }
    EXPECT_EQ(lines[awkward.size()], "KRI_CHILD_ADDED=a value with spaces");
    EXPECT_EQ(lines[awkward.size() + 1], "KRI_CHILD_NEVER_SET unset");
    // The test's own environment is inherited.
    EXPECT_GT(lines[awkward.size() + 2].size(), std::string("PATH=").size());
}

TEST(ChildProcessStart, TheInputPipeAndLeftOutVariablesReachTheChild) {
    ChildProcess::Options options;
    options.inputPipe = true;
    options.withoutInherited = {"PAT"};
    ChildProcess child(kHelper, {"env", "PATH", "in", "read"}, options);
    ASSERT_TRUE(child.waitForLine("PATH")) << child.tail();
    EXPECT_TRUE(child.writeInput("a line\n"));
    ASSERT_EQ(child.waitForExit(), 0) << child.tail();
    EXPECT_EQ(child.lines(), (Lines{"PATH unset", "read a line"}));
    EXPECT_FALSE(child.writeInput("too late\n"));
}

TEST(ChildProcessStart, AProgramThatCannotStartThrows) {
    EXPECT_THROW(ChildProcess(kHelper + ".missing", {}), std::runtime_error);
}

TEST(ChildProcessEnd, WaitsAreBoundedAndTerminationEndsTheChild) {
    ChildProcess child(kHelper, {"out", "started", "sleep", "60000"});
    ASSERT_TRUE(child.waitForLine("started"));
    EXPECT_EQ(child.waitForExit(Milliseconds(100)), std::nullopt);
    EXPECT_FALSE(child.waitForLines("never", 1, Milliseconds(100)));
    EXPECT_TRUE(child.running());
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 128 + SIGTERM);
    EXPECT_FALSE(child.running());
}

TEST(ChildProcessEnd, AGroupEndsWithItsLeader) {
    ChildProcess::Options options;
    options.ownProcessGroup = true;
    ChildProcess child(kHelper, {"out", "started", "sleep", "60000"}, options);
    ASSERT_TRUE(child.waitForLine("started"));
    EXPECT_TRUE(child.groupAlive());
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 128 + SIGTERM);
    EXPECT_FALSE(child.groupAlive());
}

}  // namespace
