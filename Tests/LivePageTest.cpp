// The receiver's live page over HTTP: clear answers to bad requests and limits on its clients,
// and the state it shows after the shipped studio hour, played by the service through a link
// that is cut once, while the HTTP side is pressed hard.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Tests/AggrReceiverProcess.h"
#include "Tests/FaultSupport.h"
#include "Tools/AggrReceiver/LivePage.h"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string kPagePrefix = "live page on http://127.0.0.1:";

int pagePort(ChildProcess& receiver) {
    const std::optional<std::string> line = receiver.waitForLine(kPagePrefix, 5000ms);
    return line ? std::stoi(line->substr(line->find(kPagePrefix) + kPagePrefix.size())) : 0;
}

// A raw HTTP/1.1 exchange on its own connection, kept open until destroyed; `statusLine` is
// the first line of the answer (empty when none came within 10 s).
class RawHttp {
public:
    RawHttp(int port, const std::string& request) {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            !request.empty()) {
            (void)!write(socket_, request.data(), request.size());
        }
    }
    ~RawHttp() { close(socket_); }

    std::string statusLine() {
        std::string received;
        char buffer[512];
        while (received.find("\r\n") == std::string::npos) {
            const ssize_t n = read(socket_, buffer, sizeof buffer);
            if (n <= 0) {
                return {};
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received.substr(0, received.find("\r\n"));
    }

private:
    int socket_ = -1;
};

TEST(LivePageTest, AnswersBadRequestsClearlyAndLimitsItsLivePages) {
    auto receiver = AggrReceiverProcess::start({"--http", "127.0.0.1:0"});
    const int port = pagePort(*receiver);
    ASSERT_NE(port, 0) << receiver->tail();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);

    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("new EventSource(\"/events\")"), std::string::npos);
    auto state = client.Get("/state.json");
    ASSERT_TRUE(state);
    EXPECT_TRUE(json::parse(state->body)["studios"].empty());
    EXPECT_FALSE(json::parse(state->body)["receiver"]["visibleFromNetwork"]);

    auto unknown = client.Get("/admin");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_NE(unknown->body.find("/state.json"), std::string::npos);
    auto tooLong = client.Get("/" + std::string(20000, 'a'));
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->status, 414);
    EXPECT_NE(tooLong->body.find("URI Too Long"), std::string::npos);
    auto posted = client.Post("/state.json", std::string(1000, 'x'), "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_GE(posted->status, 400);
    EXPECT_NE(posted->body.find("/state.json"), std::string::npos);
    // A body beyond what a connection may send is not read to its end.
    auto huge = client.Post("/state.json", std::string(1000000, 'x'), "text/plain");
    EXPECT_TRUE(!huge || huge->status >= 400);

    // Header lines each within the line limit but more than a connection may send in all: the
    // request is refused (or the connection reset under it), never served.
    std::string flood = "GET /state.json HTTP/1.1\r\nHost: t\r\n";
    for (int i = 0; i < 100; ++i) {
        flood += "X-Fill-" + std::to_string(i) + ": " + std::string(1000, 'f') + "\r\n";
    }
    EXPECT_NE(RawHttp(port, flood + "\r\n").statusLine(), "HTTP/1.1 200 OK");

    std::vector<std::unique_ptr<RawHttp>> streams;
    int served = 0;
    int refused = 0;
    for (std::size_t i = 0; i < aggrreceiver::LivePage::kMaxEventStreams + 3; ++i) {
        streams.push_back(
            std::make_unique<RawHttp>(port, "GET /events HTTP/1.1\r\nHost: t\r\n\r\n"));
        const std::string status = streams.back()->statusLine();
        served += status == "HTTP/1.1 200 OK";
        refused += status == "HTTP/1.1 503 Service Unavailable";
    }
    EXPECT_EQ(served, static_cast<int>(aggrreceiver::LivePage::kMaxEventStreams));
    EXPECT_EQ(refused, 3);
    // With every page slot taken and silent clients holding more connections than there are
    // workers left, a plain request is still answered, once the silent ones time out.
    std::vector<std::unique_ptr<RawHttp>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(std::make_unique<RawHttp>(port, ""));
    }
    EXPECT_EQ(RawHttp(port, "GET /state.json HTTP/1.1\r\nHost: t\r\n\r\n").statusLine(),
              "HTTP/1.1 200 OK");
    streams.clear();
    silent.clear();
    EXPECT_EQ(receiver->stop(), std::optional<int>(0)) << receiver->tail();
}

struct ExpectedEntry {
    const char* id;
    const char* status;
    const char* segment;
    const char* time;
    const char* duration;
};

// "Main" at the end of Tools/AtmnSimulator/scenarios/studio-hour.xml, by on-air time.
const std::vector<ExpectedEntry> kMainAtTheEnd = {
    {"M-1800-ID", "Done", "0", "18:00:00:00", "00:00:10:00"},
    {"M-1800-NEWS", "Done", "5", "18:00:10:00", "00:20:20:00"},
    {"M-1806-BREAK", "Done", "0", "18:06:45:00", "00:01:30:00"},
    {"M-1820-ADS", "Done", "0", "18:20:30:00", "00:03:30:00"},
    {"M-1823-LINK", "Done", "0", "18:23:30:00", "00:00:30:00"},
    {"M-1824-MAG", "Done", "3", "18:24:50:00", "00:14:10:00"},
    {"M-1839-ADS", "Done", "0", "18:39:00:00", "00:02:00:00"},
    {"M-1841-DOC", "Running", "0", "18:41:00:12", "00:18:30:00"},
    {"M-1900-ID", "Standby", "0", "19:00:00:00", "00:00:10:00"},
};

// Many plain requests at once and a request far too long; each must get its answer.
void pressTheHttpSide(int port) {
    std::vector<std::future<int>> answers;
    for (int i = 0; i < 40; ++i) {
        answers.push_back(std::async(std::launch::async, [port] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(10, 0);
            auto state = client.Get("/state.json");
            return state ? state->status : -1;
        }));
    }
    EXPECT_EQ(RawHttp(port, "GET /" + std::string(50000, 'b') + " HTTP/1.1\r\n\r\n").statusLine(),
              "HTTP/1.1 414 URI Too Long");
    for (auto& answer : answers) {
        EXPECT_EQ(answer.get(), 200);
    }
}

TEST(LivePageTest, ShowsTheShippedHourAsItWasPlayedThroughACutLink) {
    faults::FaultEnvironment environment;
    auto receiver = environment.startReceiver("receiver.log", 0, {"--http", "127.0.0.1:0"});
    const int port = pagePort(*receiver);
    ASSERT_NE(port, 0) << receiver->tail();
    faults::CuttingProxy proxy(faults::FaultEnvironment::listeningPort(*receiver));
    environment.config.automationContent =
        "<Simulator speed=\"200\" scenario=\"" KRI_SIMULATOR_SCENARIOS "/studio-hour.xml\"/>";
    environment.config.port = proxy.port();
    environment.writeConfig();
    auto service = environment.startService();

    ASSERT_TRUE(receiver->waitForLines("action=ChangeSegment id=\"2\"", 1, 30000ms))
        << receiver->tail();
    EXPECT_EQ(proxy.cutAll(), 1);
    pressTheHttpSide(port);
    ASSERT_TRUE(receiver->waitForLines("action=AddEntry id=\"M-1900-ID\"", 1, 60000ms))
        << receiver->tail();
    // The last event of the hour, the house time at 60:00, follows shortly after.
    ASSERT_TRUE(receiver->waitForLines("action=UpdateTime", 13, 10000ms)) << receiver->tail();
    service->sendSignal(SIGINT);
    EXPECT_EQ(service->waitForExit(15000ms), std::optional<int>(0));

    httplib::Client client("127.0.0.1", port);
    auto answer = client.Get("/state.json");
    ASSERT_TRUE(answer);
    const json state = json::parse(answer->body);
    ASSERT_EQ(state["studios"].size(), 1u) << state.dump(2);
    const json& studio = state["studios"][0];
    EXPECT_EQ(studio["id"], "7");
    EXPECT_EQ(studio["name"], "Studio A");
    // The frames of the last house time depend on when the simulator's clock was read.
    EXPECT_EQ(studio["houseTime"].get<std::string>().substr(0, 19), "2024-03-09 18:59:30");
    EXPECT_GE(studio["link"]["reconnections"], 1);
    EXPECT_GE(studio["duplicates"]["count"], 1) << studio["transactions"].dump(1);
    EXPECT_EQ(studio["malformed"]["count"], 0);

    ASSERT_EQ(studio["sessions"].size(), 2u) << studio.dump(2);
    const json& main = studio["sessions"][0];
    EXPECT_EQ(main["name"], "Main");
    EXPECT_TRUE(main["removedAt"].is_null());
    ASSERT_EQ(main["entries"].size(), kMainAtTheEnd.size()) << main.dump(2);
    for (std::size_t i = 0; i < kMainAtTheEnd.size(); ++i) {
        const json& entry = main["entries"][i];
        const ExpectedEntry& expected = kMainAtTheEnd[i];
        EXPECT_EQ(entry["id"], expected.id);
        EXPECT_EQ(entry["status"], expected.status) << expected.id;
        EXPECT_EQ(entry["segment"], expected.segment) << expected.id;
        EXPECT_EQ(entry["time"], expected.time) << expected.id;
        EXPECT_EQ(entry["duration"], expected.duration) << expected.id;
        EXPECT_EQ(entry["onAir"], std::string(expected.status) == "Running") << expected.id;
    }
    // "Promos" was taken off air at 59:00, after "P-02" was removed at 13:00: both are still
    // shown, as removed.
    const json& promos = studio["sessions"][1];
    EXPECT_EQ(promos["name"], "Promos");
    EXPECT_TRUE(promos["removedAt"].is_string());
    ASSERT_EQ(promos["entries"].size(), 3u) << promos.dump(2);
    EXPECT_EQ(promos["entries"][0]["status"], "Done");
    EXPECT_EQ(promos["entries"][1]["id"], "P-02");
    EXPECT_TRUE(promos["entries"][1]["removedAt"].is_string());
    EXPECT_EQ(promos["entries"][2]["status"], "NotPlayed");
}

}  // namespace
