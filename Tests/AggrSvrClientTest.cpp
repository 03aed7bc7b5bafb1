// The aggregation client end to end: real SSL connections on loopback to the reference
// receiver, with certificates generated for the test run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/Resolver.h"
#include "Tests/AggrReceiverProcess.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Common/LinkMonitor.h"
#include "YuException.h"

namespace {

using std::chrono::milliseconds;

constexpr int32_t kSuccess = CAggrSvrClient::kSuccess;

const char kPlaylist[] = "<Playlist name=\"P1\"><Entry id=\"E1\"/></Playlist>";
// Angle brackets, both quotes, an entity and the sequence that ends a CDATA section.
const char kEntry[] =
    "<Entry id=\"E1\" name='News &amp; \"Weather\"'><Note>a &lt; b ]]> c</Note></Entry>";
const char kHouseTime[] = "<HouseTime hh=\"10\" mm=\"0\" ss=\"5\" ff=\"12\"/>";

bool eventually(const std::function<bool()>& condition, milliseconds timeout = milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

class CapturingSink : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        traces.push_back(record.message);
    }
    void writeEvent(const KriEventRecord&) override {}
    std::string all() {
        std::lock_guard<std::mutex> guard(mutex);
        std::string text;
        for (const std::string& t : traces) {
            text += t + "\n";
        }
        return text;
    }
    size_t count(const std::string& needle) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(std::count_if(traces.begin(), traces.end(), [&](auto& t) {
            return t.find(needle) != std::string::npos;
        }));
    }

private:
    std::mutex mutex;
    std::vector<std::string> traces;
};

// The transaction as the XML classes give it when the action is built, parsed and written again
// under its `Kri_Transact` root.
std::string referenceText(uint32_t session, const char* action, const std::string& id,
                          const std::string& name, const std::string& payload) {
    CXMLDoc built;
    CElementNode root = built.CreateRootElement("Action");
    root.AddAttribute("name", action);
    CElementNode param =
        root.AppendChild(CElementNode("Params")).AppendChild(CElementNode("Param"));
    param.AddAttribute("id", id.c_str());
    param.AddAttribute("name", name.c_str());
    param.AppendChild(CCDATASection(payload.c_str()));
    CMemXMLSrc source;
    source.SetMemPtr(root.GetXml());
    CXMLDoc parsed;
    parsed.Parse(source);
    CXMLDoc transaction;
    CElementNode transact = transaction.CreateRootElement("Kri_Transact");
    transact.AddAttribute("session", String(static_cast<unsigned long>(session)));
    transact.AppendChild(parsed.GetRootElement());
    return transact.GetXml().c_str();
}

// The payload inside a received transaction's CDATA section(s).
std::string payloadOf(const std::string& transaction) {
    CMemXMLSrc source;
    source.SetMemPtr(transaction.c_str());
    CXMLDoc document;
    document.Parse(source);
    return document.GetRootElement()("Action")("Params")("Param").GetNodeValue().c_str();
}

// The messages a receiver wrote to its transactions file, in arrival order. A receiver still
// running may be part way through its last record, which is left out.
std::vector<std::string> receivedTexts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string file = whole.str();
    std::vector<std::string> texts;
    size_t at = 0;
    while ((at = file.find("--- ", at)) != std::string::npos) {
        const size_t lineEnd = file.find('\n', at);
        if (lineEnd == std::string::npos) {
            break;
        }
        const size_t sizeStart = file.rfind(", ", lineEnd) + 2;
        const size_t bytes = std::stoul(file.substr(sizeStart, lineEnd - sizeStart));
        if (lineEnd + 1 + bytes + 1 > file.size()) {
            break;
        }
        texts.push_back(file.substr(lineEnd + 1, bytes));
        at = lineEnd + 1 + bytes;
    }
    return texts;
}

// A receiver on another loopback address, on the first receiver's port.
std::unique_ptr<AggrReceiverProcess> receiverOn(const char* address, uint16_t port,
                                                const std::string& certFile,
                                                const std::string& keyFile,
                                                const std::string& transactions) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    auto receiver = std::make_unique<AggrReceiverProcess>(std::vector<std::string>{
        "--cert", certFile, "--key", keyFile, "--ca", certs.caCert, "--address", address, "--port",
        std::to_string(port), "--transactions", transactions});
    if (!receiver->waitForLine(std::string("listening on ") + address)) {
        throw std::runtime_error("second receiver did not start:\n" + receiver->output());
    }
    return receiver;
}

std::vector<uint32_t> twoLoopbackAddresses(const char*) {
    return {platform::inetAddr("127.0.0.1"), platform::inetAddr("127.0.0.2")};
}

class AggrSvrClientLink : public ::testing::Test {
protected:
    void SetUp() override {
        setKriLogSink(&sink);
        receiver = AggrReceiverProcess::start({"--transactions", transactions});
        const testcerts::CertFiles& certs = testcerts::testCerts();
        ASSERT_EQ(kSuccess, client.setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(),
                                            certs.caCert.c_str()));
    }
    void TearDown() override {
        client.disconnect();
        setKriLogSink(nullptr);
        for (const std::string& path : transactionFiles) {
            std::remove(path.c_str());
        }
    }

    std::string transactionsPath(const char* tag) {
        transactionFiles.push_back(::testing::TempDir() + "aggr-" + std::to_string(getpid()) + "-" +
                                   tag + "-" + std::to_string(transactionFiles.size()) + ".txt");
        return transactionFiles.back();
    }

    void connectAndWaitUntilUp(const char* host = "127.0.0.1") {
        ASSERT_EQ(kSuccess, client.connect(host, receiver->port()));
        ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    }

    // Waits for `count` transaction lines of the receiver and returns them from "session=" on.
    std::vector<std::string> transactionLines(AggrReceiverProcess& r, size_t count) {
        EXPECT_TRUE(r.waitForLines(" transaction ", count)) << r.output();
        std::vector<std::string> lines;
        for (const std::string& line : r.linesContaining(" transaction ")) {
            lines.push_back(line.substr(line.find("session=")));
        }
        return lines;
    }

    CapturingSink sink;
    std::vector<std::string> transactionFiles;
    std::string transactions = transactionsPath("main");
    std::unique_ptr<AggrReceiverProcess> receiver;
    CAggrSvrClient client;
};

TEST_F(AggrSvrClientLink, EachTransactionArrivesAsTheTableSays) {
    connectAndWaitUntilUp();
    ASSERT_EQ(kSuccess, client.addStudio("Studio A", "7"));
    const uint32_t session = client.addSession("P1", "P1", kPlaylist);
    ASSERT_EQ(1u, session);
    ASSERT_EQ(kSuccess, client.addEntry(session, "E1", "Entry", kEntry));
    ASSERT_EQ(kSuccess, client.updateEntry(session, "E1", "Entry", kEntry));
    ASSERT_EQ(kSuccess, client.removeEntry(session, "E1", "Entry", kEntry));
    ASSERT_EQ(kSuccess, client.updateTime(session, kHouseTime));
    ASSERT_EQ(kSuccess, client.changeSegment(session, "3", kEntry));
    ASSERT_EQ(kSuccess, client.removeSession(session, "P1"));

    struct Expected {
        uint32_t session;
        const char* action;
        std::string id, name, payload;
    };
    const std::vector<Expected> expected = {
        {0, "AddStudio", "7", "Studio A", ""},     {1, "AddSession", "0", "P1", kPlaylist},
        {1, "AddEntry", "E1", "Entry", kEntry},    {1, "UpdateEntry", "E1", "Entry", kEntry},
        {1, "RemoveEntry", "E1", "Entry", kEntry}, {1, "UpdateTime", "", "", kHouseTime},
        {1, "ChangeSegment", "3", "", kEntry},     {1, "RemoveSession", "0", "P1", ""},
    };
    const std::vector<std::string> lines = transactionLines(*receiver, expected.size());
    const std::vector<std::string> texts = receivedTexts(transactions);
    ASSERT_EQ(expected.size(), lines.size());
    ASSERT_EQ(expected.size(), texts.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Expected& e = expected[i];
        const std::string text = referenceText(e.session, e.action, e.id, e.name, e.payload);
        EXPECT_EQ(text, texts[i]);
        // The receiver's frame count is the length prefix.
        EXPECT_EQ("session=" + std::to_string(e.session) + " action=" + e.action + " id=\"" + e.id +
                      "\" name=\"" + e.name + "\" payload=" + std::to_string(e.payload.size()) +
                      " frame=" + std::to_string(text.size()),
                  lines[i]);
        EXPECT_EQ(e.payload, payloadOf(texts[i]));
    }
}

TEST_F(AggrSvrClientLink, RegistryCasesAsTheServerSeesThem) {
    connectAndWaitUntilUp();
    client.addStudio("Studio A", "7");
    EXPECT_EQ(1u, client.addSession("P1", "P1", ""));
    EXPECT_THROW(client.addSession("P1", "P1", ""), YuException);
    client.removeSession(client.findSession("P1"), "P1");
    EXPECT_EQ(2u, client.addSession("P1", "P1", ""));
    client.removeSession(0, "Gone");

    const std::vector<std::string> lines = transactionLines(*receiver, 5);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("session=0 action=AddStudio", 0));
    EXPECT_EQ(0u, lines[1].rfind("session=1 action=AddSession id=\"0\" name=\"P1\" payload=0", 0));
    EXPECT_EQ(0u,
              lines[2].rfind("session=1 action=RemoveSession id=\"0\" name=\"P1\" payload=0", 0));
    EXPECT_EQ(0u, lines[3].rfind("session=2 action=AddSession id=\"0\" name=\"P1\" payload=0", 0));
    EXPECT_EQ(0u,
              lines[4].rfind("session=0 action=RemoveSession id=\"0\" name=\"Gone\" payload=0", 0));
}

TEST_F(AggrSvrClientLink, ATransactionBeforeTheHandshakeIsDeliveredAfterAddStudio) {
    // A stopped receiver accepts the TCP connection but cannot answer the handshake.
    receiver->sendSignal(SIGSTOP);
    ASSERT_EQ(kSuccess, client.connect("127.0.0.1", receiver->port()));
    EXPECT_FALSE(client.isConnected());
    const uint32_t session = client.addSession("P1", "P1", "");
    EXPECT_EQ(kSuccess, client.addStudio("Studio", "1"));
    EXPECT_FALSE(client.isConnected());
    receiver->sendSignal(SIGCONT);

    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    client.updateEntry(session, "E1", "Entry", kEntry);
    const std::vector<std::string> lines = transactionLines(*receiver, 3);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("session=0 action=AddStudio id=\"1\" name=\"Studio\"", 0));
    EXPECT_EQ(0u, lines[1].rfind("session=1 action=AddSession", 0));
    EXPECT_EQ(0u, lines[2].rfind("session=1 action=UpdateEntry", 0));
    EXPECT_EQ(1u, sink.count("SSL connect successful"));
}

TEST_F(AggrSvrClientLink, TwoAddressesGiveTwoSocketsAndEveryTransactionGoesOnBoth) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    const std::string secondTransactions = transactionsPath("second");
    auto second = receiverOn("127.0.0.2", receiver->port(), certs.serverCert, certs.serverKey,
                             secondTransactions);
    client.setHostResolver(&twoLoopbackAddresses);
    connectAndWaitUntilUp("aggr.test");
    // A socket counts as connected once verified; its line follows on the loop thread.
    EXPECT_TRUE(eventually([&] { return sink.count("SSL connect successful") == 2u; }));

    client.addStudio("Studio A", "7");
    const uint32_t session = client.addSession("P1", "P1", kPlaylist);
    client.updateEntry(session, "E1", "Entry", kEntry);

    EXPECT_EQ(transactionLines(*receiver, 3), transactionLines(*second, 3));
    const std::vector<std::string> first = receivedTexts(transactions);
    ASSERT_EQ(3u, first.size());
    EXPECT_EQ(first, receivedTexts(secondTransactions));
    EXPECT_EQ(referenceText(1, "UpdateEntry", "E1", "Entry", kEntry), first[2]);
}

TEST_F(AggrSvrClientLink, OneSocketUpAndOneWithAnUntrustedServerIsNotConnected) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    const std::string secondTransactions = transactionsPath("untrusted");
    auto untrusted = receiverOn("127.0.0.2", receiver->port(), certs.otherServerCert,
                                certs.otherServerKey, secondTransactions);
    client.setHostResolver(&twoLoopbackAddresses);
    ASSERT_EQ(kSuccess, client.connect("aggr.test", receiver->port()));

    ASSERT_TRUE(eventually([&] { return sink.count("SSL error : -25") == 1; }));
    ASSERT_TRUE(eventually([&] { return sink.count("SSL connect successful") == 1; }));
    EXPECT_FALSE(client.isConnected());

    client.addStudio("Studio A", "7");
    ASSERT_EQ(1u, transactionLines(*receiver, 1).size());
    EXPECT_TRUE(untrusted->linesContaining(" transaction ").empty());
    EXPECT_TRUE(receivedTexts(secondTransactions).empty());
    EXPECT_FALSE(client.isConnected());
}

// The repeats of a link line within a minute are only counted, but the end of an outage is always
// written, so that the trace shows the recovery.
TEST_F(AggrSvrClientLink, AConnectionAfterAnOutageIsWrittenAlsoWithinTheMinute) {
    connectAndWaitUntilUp();
    const uint16_t port = receiver->port();
    receiver.reset();
    ASSERT_TRUE(eventually([&] { return !client.isConnected(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(LinkMonitor::kOutageMs + 500));
    const testcerts::CertFiles& certs = testcerts::testCerts();
    receiver = receiverOn("127.0.0.1", port, certs.serverCert, certs.serverKey, transactions);
    connectAndWaitUntilUp();
    client.addStudio("Studio A", "7");
    EXPECT_EQ(2u, sink.count("SSL connect successful"));
}

TEST_F(AggrSvrClientLink, ConnectAfterDisconnectMakesFreshSocketsAndKeepsTheSessions) {
    connectAndWaitUntilUp();
    client.addStudio("Studio A", "7");
    const uint32_t session = client.addSession("P1", "P1", "");
    // The loop writes the frames; disconnect does not wait for the network.
    ASSERT_TRUE(eventually([&] { return client.deliveryStatus().pending == 0; }));
    EXPECT_EQ(kSuccess, client.disconnect());
    ASSERT_TRUE(receiver->waitForLine(" closed transactions=2")) << receiver->output();

    connectAndWaitUntilUp();
    client.addStudio("Studio A", "7");
    EXPECT_EQ(session, client.findSession("P1"));
    client.updateEntry(session, "E1", "Entry", kEntry);
    const std::vector<std::string> lines = transactionLines(*receiver, 4);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(0u, lines[2].rfind("session=0 action=AddStudio", 0));
    EXPECT_EQ(0u, lines[3].rfind("session=1 action=UpdateEntry", 0));
    EXPECT_EQ(2u, receiver->linesContaining(" accepted client ").size());
}

TEST_F(AggrSvrClientLink, AConnectWithoutDisconnectReplacesTheSockets) {
    connectAndWaitUntilUp();
    connectAndWaitUntilUp();
    client.addStudio("Studio A", "7");
    ASSERT_EQ(1u, transactionLines(*receiver, 1).size());
    EXPECT_EQ(2u, receiver->linesContaining(" accepted client ").size());
    EXPECT_TRUE(receiver->waitForLine(" closed transactions=0")) << receiver->output();
}

TEST_F(AggrSvrClientLink, AHostThatDoesNotResolveLeavesTheLinkDownUntilAConnectSucceeds) {
    // A name with an empty label fails in the resolver itself, without asking a name server.
    ASSERT_EQ(kSuccess, client.connect("no..such.host", receiver->port()));
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(1u, sink.count("no..such.host"));
    client.addStudio("Nowhere", "1");
    EXPECT_FALSE(client.isConnected());

    EXPECT_EQ(kSuccess, client.disconnect());
    connectAndWaitUntilUp();
    client.addStudio("Somewhere", "2");
    const std::vector<std::string> lines = transactionLines(*receiver, 1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("name=\"Somewhere\""));
}

TEST_F(AggrSvrClientLink, AClientWithoutContextMakesNoSocketAndStaysDown) {
    CAggrSvrClient withoutContext;
    EXPECT_EQ(kSuccess, withoutContext.connect("127.0.0.1", receiver->port()));
    EXPECT_FALSE(withoutContext.isConnected());
    EXPECT_EQ(kSuccess, withoutContext.disconnect());
}

TEST_F(AggrSvrClientLink, SendersRunWhileTheLinkIsRebuilt) {
    connectAndWaitUntilUp();
    constexpr int kSenders = 4;
    constexpr int kRounds = 60;
    std::atomic<bool> go{false};
    std::mutex idsMutex;
    std::set<uint32_t> ids;
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            const std::string name = "Playlist " + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                const uint32_t session = client.addSession(name.c_str(), name.c_str(), kPlaylist);
                {
                    std::lock_guard<std::mutex> guard(idsMutex);
                    ids.insert(session);
                }
                client.updateEntry(client.findSession(name.c_str()), "E1", "Entry", kEntry);
                client.removeSession(client.findSession(name.c_str()), name.c_str());
            }
        });
    }
    std::thread rebuilder([&] {
        while (!go) {
            std::this_thread::yield();
        }
        for (int cycle = 0; cycle < 5; ++cycle) {
            client.isConnected();
            client.disconnect();
            client.connect("127.0.0.1", receiver->port());
            std::this_thread::sleep_for(milliseconds(10));
        }
    });
    go = true;
    for (std::thread& sender : senders) {
        sender.join();
    }
    rebuilder.join();

    EXPECT_EQ(static_cast<size_t>(kSenders * kRounds), ids.size());
    for (int t = 0; t < kSenders; ++t) {
        EXPECT_EQ(0u, client.findSession(("Playlist " + std::to_string(t)).c_str()));
    }
    // The receiver stops serving while its output pipe is full, so its lines are read meanwhile.
    ASSERT_TRUE(eventually([&] {
        receiver->waitForLine("\x01", milliseconds(20));
        return client.isConnected();
    })) << sink.all();
    client.addStudio("Final", "9");
    ASSERT_TRUE(receiver->waitForLine("name=\"Final\"")) << receiver->output();
    EXPECT_TRUE(receiver->linesContaining("malformed").empty()) << receiver->output();
    for (const std::string& text : receivedTexts(transactions)) {
        EXPECT_NO_THROW(payloadOf(text)) << text;
    }
}

}  // namespace
