#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/Clock.h"
#include "Tests/CapturingLogSink.h"

namespace {

class KriErr : public ::testing::Test {
protected:
    void SetUp() override { setKriLogSink(&sink); }
    void TearDown() override { setKriLogSink(nullptr); }
    CapturingLogSink sink;
};

void eventLog(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    __KriEventLog(code, format, args);
    va_end(args);
}

TEST_F(KriErr, EachTraceCallIsOneLineWithTheStampGivenJustBefore) {
    __KriLogFileInfo("Tools/RovazoRiva/Common/AggrSvrConn", 120);
    __KriLogTrace("SSL error : %d\n", -10054);
    __KriLogTrace("Unable to reconnect");
    KRI_TRACE("Unit/B", "two\nparts\r\n\n");
    __KriLogFileInfo("Unit/C", 1);
    __KriLogFileInfo("Unit/C", 2);
    __KriLogTrace("%s", "");

    ASSERT_EQ(4u, sink.traces.size());
    EXPECT_EQ("Tools/RovazoRiva/Common/AggrSvrConn:120", sink.traces[0].stamp);
    EXPECT_EQ("SSL error : -10054", sink.traces[0].message);
    // A stamp serves one line only.
    EXPECT_EQ("", sink.traces[1].stamp);
    EXPECT_EQ("Unable to reconnect", sink.traces[1].message);
    EXPECT_EQ(0u, sink.traces[2].stamp.rfind("Unit/B:", 0));
    EXPECT_EQ("two parts", sink.traces[2].message);
    EXPECT_EQ("Unit/C:2", sink.traces[3].stamp);
    for (const KriTraceRecord& record : sink.traces) {
        EXPECT_EQ(platform::currentThreadId(), record.threadId);
        EXPECT_EQ(std::string::npos, record.line.find('\n'));
    }
    const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[(\d+)\] (\S+) (.*))");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(sink.traces[0].line, parts, shape)) << sink.traces[0].line;
    EXPECT_EQ(std::to_string(platform::currentThreadId()), parts[1].str());
    EXPECT_EQ("Tools/RovazoRiva/Common/AggrSvrConn:120", parts[2].str());
    EXPECT_EQ("SSL error : -10054", parts[3].str());
    ASSERT_TRUE(std::regex_match(sink.traces[1].line, parts, shape)) << sink.traces[1].line;
    EXPECT_EQ("-", parts[2].str());
}

TEST_F(KriErr, TraceLinesCarryThePriorityOfTheirMacro) {
    KRI_TRACE("Unit/P", "info");
    KRI_TRACE_WARNING("Unit/P", "link lost %d", 1);
    KRI_TRACE_ERROR("Unit/P", "failed");
    __KriLogTrace("plain");
    ASSERT_EQ(4u, sink.traces.size());
    EXPECT_EQ(platform::SystemLogType::Information, sink.traces[0].priority);
    EXPECT_EQ(platform::SystemLogType::Warning, sink.traces[1].priority);
    EXPECT_EQ("link lost 1", sink.traces[1].message);
    EXPECT_EQ(0u, sink.traces[1].stamp.rfind("Unit/P:", 0));
    EXPECT_EQ(platform::SystemLogType::Error, sink.traces[2].priority);
    EXPECT_EQ(platform::SystemLogType::Information, sink.traces[3].priority);
    EXPECT_STREQ("<3>", platform::journalPriorityPrefix(platform::SystemLogType::Error));
    EXPECT_STREQ("<4>", platform::journalPriorityPrefix(platform::SystemLogType::Warning));
    EXPECT_STREQ("<6>", platform::journalPriorityPrefix(platform::SystemLogType::Information));
}

TEST_F(KriErr, EventRecordsCarryTheCodeAndTheTypeOfItsSeverity) {
    eventLog(0xCE000D02u, "%s", "/etc/kri/atmn.xml");
    eventLog(0xCE000D02u, "");
    eventLog(0x8E000D00u, "warn %d", 1);
    eventLog(0x0E000000u, "ok");
    ASSERT_EQ(4u, sink.events.size());
    EXPECT_EQ(0xCE000D02u, sink.events[0].code);
    EXPECT_EQ(platform::SystemLogType::Error, sink.events[0].type);
    EXPECT_EQ("/etc/kri/atmn.xml", sink.events[0].text);
    EXPECT_EQ("[0xCE000D02] /etc/kri/atmn.xml", sink.events[0].record);
    EXPECT_EQ("[0xCE000D02]", sink.events[1].record);
    EXPECT_EQ(platform::SystemLogType::Warning, sink.events[2].type);
    EXPECT_EQ("[0x8E000D00] warn 1", sink.events[2].record);
    EXPECT_EQ(platform::SystemLogType::Information, sink.events[3].type);
    EXPECT_TRUE(sink.traces.empty());
}

// A reported event's trace line carries the stamp given for it; one without text writes no line,
// and its stamp does not fall to the next line that has none.
TEST_F(KriErr, ReportedEventsTraceTheirTextUnderTheirOwnStamp) {
    KRI_REPORT_EVENT("Unit/R", 0x8E000D04u, "dropped %d", 3);
    KRI_REPORT_EVENT("Unit/R", 0xCE000D01u, "%s", "");
    __KriLogTrace("plain");
    ASSERT_EQ(2u, sink.traces.size());
    EXPECT_EQ("dropped 3", sink.traces[0].message);
    EXPECT_EQ(0u, sink.traces[0].stamp.rfind("Unit/R:", 0));
    EXPECT_EQ(platform::SystemLogType::Warning, sink.traces[0].priority);
    EXPECT_EQ("", sink.traces[1].stamp);
    ASSERT_EQ(2u, sink.events.size());
    EXPECT_EQ("[0x8E000D04] dropped 3", sink.events[0].record);
    EXPECT_EQ("[0xCE000D01]", sink.events[1].record);
}

TEST_F(KriErr, StampsNeverCrossThreads) {
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    std::vector<uint32_t> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = platform::currentThreadId();
            std::string unit = "Unit/T" + std::to_string(t);
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kLines; ++i) {
                __KriLogFileInfo(unit.c_str(), i);
                std::this_thread::yield();
                __KriLogTrace("T%d line %d\n", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), sink.traces.size());
    std::vector<int> next(kThreads, 0);
    const std::regex message(R"(T(\d+) line (\d+))");
    for (const KriTraceRecord& record : sink.traces) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(record.message, parts, message)) << record.message;
        int t = std::stoi(parts[1].str());
        int i = std::stoi(parts[2].str());
        EXPECT_EQ("Unit/T" + std::to_string(t) + ":" + std::to_string(i), record.stamp);
        EXPECT_EQ(ids[t], record.threadId);
        // Each thread's lines arrive whole and in its own order.
        EXPECT_EQ(next[t]++, i);
    }
}

TEST(KriErrDefault, TraceLinesGoToStandardError) {
    testing::internal::CaptureStderr();
    KRI_TRACE("Unit/Default", "to stderr %s", "now");
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, written.find("Unit/Default:")) << written;
    EXPECT_NE(std::string::npos, written.find(" to stderr now\n")) << written;
    EXPECT_EQ(1, std::count(written.begin(), written.end(), '\n'));
}

}  // namespace
