// The status in plain words, as JSON and in Prometheus text, the status files and
// `KriAtmnSvc -status [-json]`.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "Tests/ChildProcess.h"
#include "Tests/Isolation.h"
#include "Tests/TempRegistry.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnMonitor.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnStatus.h"

namespace {

// 2026-12-08 12:03:11 UTC.
constexpr int64_t kSinceMs = 1796731391000;

class AtmnStatus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    static DeliveryStatus up() {
        DeliveryStatus s;
        s.link = LinkState::kUp;
        s.server = "10.1.2.3:4433";
        s.linkSinceMs = kSinceMs;
        s.accepted = 12345;
        s.sent = 12345;
        s.acknowledged = 12345;
        s.reconnects = 2;
        return s;
    }
};

TEST_F(AtmnStatus, TheLineSaysWhereTheLinkStandsInPlainWords) {
    EXPECT_EQ("Link up to 10.1.2.3:4433 since 12:03:11 · 12,345 sent · 0 pending · 2 reconnects",
              statusLine(up()));

    DeliveryStatus down = up();
    down.link = LinkState::kDown;
    down.linkReason = "connection refused";
    down.pending = 54;
    down.oldestPendingAgeMs = 72'400;
    EXPECT_EQ("Link down since 12:03:11 (connection refused) · 54 pending, oldest 00:01:12",
              statusLine(down));

    DeliveryStatus never;
    never.dropped = 1234567;
    never.resent = 2500;
    EXPECT_EQ("Link down · 0 pending · 2,500 resent · 1,234,567 dropped", statusLine(never));

    DeliveryStatus connecting = up();
    connecting.link = LinkState::kConnecting;
    connecting.reconnects = 1;
    EXPECT_EQ("Connecting to 10.1.2.3:4433 since 12:03:11 · 0 pending", statusLine(connecting));
}

TEST_F(AtmnStatus, JsonAndPrometheusCarryTheCounters) {
    DeliveryStatus s = up();
    s.linkReason = "a \"quoted\"\nreason\\";
    s.pending = 3;
    s.pendingBytes = 900;
    s.resent = 41;
    const std::string json = statusJson(s, kSinceMs + 5000);
    EXPECT_NE(std::string::npos, json.find(R"("link":"up","server":"10.1.2.3:4433")")) << json;
    EXPECT_NE(std::string::npos, json.find(R"("since":"2026-12-08T12:03:11Z")")) << json;
    EXPECT_NE(std::string::npos, json.find(R"("reason":"a \"quoted\"\u000areason\\")")) << json;
    EXPECT_NE(std::string::npos, json.find(R"("pending":3,"dropped":0,"pendingBytes":900)"))
        << json;
    EXPECT_NE(std::string::npos, json.find(R"("reconnects":2,"resent":41,)")) << json;
    EXPECT_NE(std::string::npos, json.find(R"("updated":"2026-12-08T12:03:16Z")")) << json;
    EXPECT_EQ(1, std::count(json.begin(), json.end(), '\n'));
    s.spool = SpoolState::kMemoryOnly;
    s.spoolReason = "disk full";
    EXPECT_NE(std::string::npos,
              statusJson(s, kSinceMs).find(R"("spool":"memory only","spoolReason":"disk full")"));
    EXPECT_NE(std::string::npos, statusLine(s).find(" · spool failed (disk full): in memory only"))
        << statusLine(s);

    const std::string prometheus = prometheusText(s);
    for (const char* line :
         {"# TYPE kriatmnsvc_link_up gauge\nkriatmnsvc_link_up 1\n",
          "kriatmnsvc_transactions_sent_total 12345\n", "kriatmnsvc_transactions_pending 3\n",
          "kriatmnsvc_reconnects_total 2\n", "kriatmnsvc_link_since_seconds 1796731391\n",
          "# TYPE kriatmnsvc_transactions_resent_total counter\n"
          "kriatmnsvc_transactions_resent_total 41\n"}) {
        EXPECT_NE(std::string::npos, prometheus.find(line)) << line << "\n" << prometheus;
    }
}

TEST_F(AtmnStatus, FilesAreReplacedWholeAndTheStatusCommandReadsThem) {
    TempRegistry temp;
    const std::filesystem::path dir = temp.root() / "run";
    std::filesystem::create_directories(dir);
    const std::vector<std::string> environment = {"KRI_STATUS_DIR=" + dir.string()};

    ChildProcess none(KRI_ATMNSVC_PROGRAM, {"-status"}, environment);
    EXPECT_EQ(std::optional<int>(3), none.waitForExit());
    EXPECT_EQ(1u, none.linesContaining("does not run").size()) << none.output();

    const std::filesystem::path prometheus = temp.root() / "kriatmnsvc.prom";
    CAtmnStatusFiles files(dir.string(), prometheus.string());
    ASSERT_EQ("", files.write(up(), kSinceMs));
    EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(dir), {}) +
                     std::distance(std::filesystem::directory_iterator(temp.root()), {}) - 1)
        << "no temporary file is left";
    struct stat info {};
    ASSERT_EQ(0, stat((dir / "status").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
    ASSERT_EQ(0, stat(prometheus.c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 07777);

    ChildProcess plain(KRI_ATMNSVC_PROGRAM, {"-status"}, environment);
    EXPECT_EQ(std::optional<int>(0), plain.waitForExit());
    EXPECT_EQ(std::vector<std::string>{statusLine(up())}, plain.lines());
    ChildProcess json(KRI_ATMNSVC_PROGRAM, {"-status", "-json"}, environment);
    EXPECT_EQ(std::optional<int>(0), json.waitForExit());
    EXPECT_EQ(
        std::vector<std::string>{
            statusJson(up(), kSinceMs).substr(0, statusJson(up(), kSinceMs).size() - 1)},
        json.lines());

    files.remove();
    EXPECT_TRUE(readStatusFile(dir.string(), false).missing);
    // A directory that cannot be written is reported with its path, not thrown.
    EXPECT_EQ("cannot write " + (dir / "missing/status").string() + ": " +
                  (dir / "missing").string() + ": No such file or directory",
              CAtmnStatusFiles((dir / "missing").string(), "").write(up(), kSinceMs));
}

// Another user's links and directories, and what `-status` meets in a directory the service
// account may change: links, a FIFO, terminal escape sequences.
TEST_F(AtmnStatus, NoLinkIsFollowedAndNothingForeignIsTrustedOrPrintedRaw) {
    if (!isolation::available()) {
        GTEST_SKIP() << "needs root and another user";
    }
    TempRegistry temp;
    const std::filesystem::path dir = temp.root() / "run";
    const std::filesystem::path victim = temp.root() / "victim";
    std::filesystem::create_directories(dir);
    std::ofstream(victim) << "root's own\n";
    std::filesystem::create_symlink(victim, dir / "status");
    std::filesystem::create_symlink(victim, dir / "status.json.new");
    ASSERT_EQ("", CAtmnStatusFiles(dir.string(), "").write(up(), kSinceMs));
    std::ifstream kept(victim);
    EXPECT_EQ("root's own", std::string(std::istreambuf_iterator<char>(kept), {}).substr(0, 10));
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "status"));

    // A directory another user made, or may write to, holds none of our files.
    const std::filesystem::path foreign = temp.root() / "foreign";
    std::filesystem::permissions(temp.root(), std::filesystem::perms(0777));
    EXPECT_EQ("made", isolation::inChild([&] {
                  return isolation::becomeNobody() && mkdir(foreign.c_str(), 0777) == 0 ? "made"
                                                                                        : "not";
              }));
    const std::string refusal = CAtmnStatusFiles(foreign.string(), "").write(up(), kSinceMs);
    EXPECT_NE(refusal.find(foreign.string() + " belongs to user"), std::string::npos) << refusal;
    std::filesystem::permissions(dir, std::filesystem::perms(0777));
    EXPECT_NE(CAtmnStatusFiles(dir.string(), "").write(up(), kSinceMs).find("writable by others"),
              std::string::npos);

    // -status: a link and a FIFO are refused at once; escape sequences are shown, not sent.
    const std::vector<std::string> environment = {"KRI_STATUS_DIR=" + dir.string()};
    std::filesystem::remove(dir / "status.json");
    std::filesystem::create_symlink(victim, dir / "status.json");
    ChildProcess throughLink(KRI_ATMNSVC_PROGRAM, {"-status", "-json"}, environment);
    EXPECT_EQ(std::optional<int>(4), throughLink.waitForExit());
    EXPECT_EQ(1u, throughLink.linesContaining("is a symbolic link").size()) << throughLink.output();
    std::filesystem::remove(dir / "status");
    ASSERT_EQ(0, mkfifo((dir / "status").c_str(), 0644));
    ChildProcess fifo(KRI_ATMNSVC_PROGRAM, {"-status"}, environment);
    EXPECT_EQ(std::optional<int>(4), fifo.waitForExit());
    EXPECT_EQ(1u, fifo.linesContaining("is not a regular file").size()) << fifo.output();
    std::filesystem::remove(dir / "status");
    std::ofstream(dir / "status") << "Link up\x1b]0;owned\x07 \xc2\x9b"
                                     "2J \xc2\xb7 ok\n";
    ChildProcess escaped(KRI_ATMNSVC_PROGRAM, {"-status"}, environment);
    EXPECT_EQ(std::optional<int>(0), escaped.waitForExit());
    EXPECT_EQ(std::vector<std::string>{"Link up\\x1b]0;owned\\x07 \\x9b2J \xc2\xb7 ok"},
              escaped.lines());
}

// The monitor against sources the test sets, with the messages it sends kept in order.
class Monitored {
public:
    explicit Monitored(uint64_t watchdogUs) {
        CAtmnMonitor::Sources sources;
        sources.snapshot = [this] {
            std::lock_guard<std::mutex> guard(mutex);
            return status;
        };
        sources.progress.push_back([this] { return progressMs.load(); });
        monitor = std::make_unique<CAtmnMonitor>(
            std::move(sources),
            [this](const std::string& message) {
                std::lock_guard<std::mutex> guard(mutex);
                messages.push_back(message);
            },
            nullptr, watchdogUs);
    }
    void set(const DeliveryStatus& s) {
        std::lock_guard<std::mutex> guard(mutex);
        status = s;
    }
    size_t count(const std::string& message) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }
    std::vector<std::string> statuses() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> found;
        std::copy_if(messages.begin(), messages.end(), std::back_inserter(found),
                     [](const std::string& m) { return m.rfind("STATUS=", 0) == 0; });
        return found;
    }

    std::atomic<int64_t> progressMs{CAtmnMonitor::steadyNowMs()};
    std::unique_ptr<CAtmnMonitor> monitor;

private:
    std::mutex mutex;
    DeliveryStatus status;
    std::vector<std::string> messages;
};

TEST_F(AtmnStatus, TheMonitorPublishesChangesAtMostOnceASecond) {
    Monitored m(0);
    m.set(up());
    ASSERT_TRUE(m.monitor->start());
    const auto published = [&](size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (m.statuses().size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m.statuses().size() >= count;
    };
    ASSERT_TRUE(published(1));
    DeliveryStatus down = up();
    down.link = LinkState::kDown;
    down.linkReason = "connection refused";
    m.set(down);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The change waits for the second to pass; an unchanged line is not sent again.
    EXPECT_EQ(std::vector<std::string>{"STATUS=" + statusLine(up())}, m.statuses());
    ASSERT_TRUE(published(2));
    m.monitor->stop();
    EXPECT_EQ(
        (std::vector<std::string>{"STATUS=" + statusLine(up()), "STATUS=" + statusLine(down)}),
        m.statuses());
    EXPECT_EQ(0u, m.count("WATCHDOG=1"));
}

TEST_F(AtmnStatus, TheWatchdogIsFedOnlyWhileTheWatchedThreadsMakeProgress) {
    Monitored m(300000);
    ASSERT_TRUE(m.monitor->start());
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    while (std::chrono::steady_clock::now() < until) {
        m.progressMs.store(CAtmnMonitor::steadyNowMs());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const size_t fed = m.count("WATCHDOG=1");
    EXPECT_GE(fed, 2u);
    // The thread stops turning: after half the interval no more pings.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t atStall = m.count("WATCHDOG=1");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(atStall, m.count("WATCHDOG=1"));
    m.monitor->stop();
}

}  // namespace
