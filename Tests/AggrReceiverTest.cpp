// The reference aggregation receiver: its frame decoder and transaction check on their own, and
// the program itself, run as a process on 127.0.0.1 and fed by a small TLS client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Tests/AggrReceiverProcess.h"
#include "Tests/TestCerts.h"
#include "Tools/AggrReceiver/FrameDecoder.h"
#include "Tools/AggrReceiver/ReceiverOptions.h"
#include "Tools/AggrReceiver/TransactionCheck.h"

using aggrreceiver::FrameDecoder;

namespace {

std::string header(std::uint32_t length) {
    std::uint32_t network = htonl(length);
    return std::string(reinterpret_cast<const char*>(&network), 4);
}

std::string framed(const std::string& text) {
    return header(static_cast<std::uint32_t>(text.size())) + text;
}

std::string transaction(const std::string& session, const std::string& action,
                        const std::string& id, const std::string& name,
                        const std::string& payload) {
    return "<Kri_Transact session=\"" + session + "\"><Action name=\"" + action +
           "\"><Params><Param id=\"" + id + "\" name=\"" + name + "\"><![CDATA[" + payload +
           "]]></Param></Params></Action></Kri_Transact>";
}

std::vector<std::string> decodeAll(FrameDecoder& decoder, const std::string& bytes,
                                   std::size_t pieceSize) {
    std::vector<std::string> frames;
    for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
        auto result = decoder.feed(std::string_view(bytes).substr(at, pieceSize),
                                   [&frames](std::string&& f) { frames.push_back(f); });
        EXPECT_EQ(result, FrameDecoder::Result::Ok);
    }
    return frames;
}

// A blocking TLS client on 127.0.0.1 with bounded waits, optionally with a client certificate.
class TlsTestClient {
public:
    struct Identity {
        std::string cert;
        std::string key;
        std::string passPhrase;
    };

    TlsTestClient(std::uint16_t port, const std::optional<Identity>& identity) {
        const testcerts::CertFiles& certs = testcerts::testCerts();
        context_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(context_, certs.caCert.c_str(), nullptr);
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        if (identity) {
            SSL_CTX_set_default_passwd_cb_userdata(context_,
                                                   const_cast<char*>(identity->passPhrase.c_str()));
            EXPECT_EQ(
                SSL_CTX_use_certificate_file(context_, identity->cert.c_str(), SSL_FILETYPE_PEM),
                1);
            EXPECT_EQ(
                SSL_CTX_use_PrivateKey_file(context_, identity->key.c_str(), SSL_FILETYPE_PEM), 1);
        }
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        peer_ = "127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + " ";
        ssl_ = SSL_new(context_);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
        SSL_set_fd(ssl_, socket_);
    }

    ~TlsTestClient() {
        SSL_free(ssl_);
        close(socket_);
        SSL_CTX_free(context_);
        ERR_clear_error();
    }

    static TlsTestClient withClientCert(std::uint16_t port) {
        const testcerts::CertFiles& certs = testcerts::testCerts();
        return TlsTestClient(
            port, Identity{certs.clientCert, certs.clientKey, testcerts::kClientKeyPassPhrase});
    }

    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    bool handshake() { return connected_ && SSL_connect(ssl_) == 1; }

    bool send(const std::string& bytes) {
        return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    }

    // True when the receiver ends the connection (close or alert) before any data arrives.
    bool closedByReceiver() {
        char byte;
        return SSL_read(ssl_, &byte, 1) <= 0;
    }

    void closeNow() {
        SSL_shutdown(ssl_);
        shutdown(socket_, SHUT_RDWR);
    }

    SSL* ssl() { return ssl_; }
    int socket() const { return socket_; }
    // "127.0.0.1:PORT " as the receiver names this client at the start of its lines.
    const std::string& peer() const { return peer_; }

private:
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    int socket_ = -1;
    bool connected_ = false;
    std::string peer_;
};

class AggrReceiverProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(FrameDecoderTest, ReassemblesFramesWhateverTheReadSizes) {
    std::string first = "<a/>";
    std::string second(3000, 'x');
    std::string stream = framed(first) + framed("") + framed(second) + framed(first);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{5}, stream.size()}) {
        FrameDecoder decoder;
        std::vector<std::string> frames = decodeAll(decoder, stream, piece);
        ASSERT_EQ(frames.size(), 4u) << "piece size " << piece;
        EXPECT_EQ(frames[0], first);
        EXPECT_EQ(frames[1], "");
        EXPECT_EQ(frames[2], second);
        EXPECT_EQ(frames[3], first);
        EXPECT_FALSE(decoder.insideFrame());
    }
}

TEST(FrameDecoderTest, KnowsWhenTheStreamStopsInsideAFrame) {
    FrameDecoder decoder;
    decodeAll(decoder, header(10).substr(0, 2), 2);
    EXPECT_TRUE(decoder.insideFrame());
    decodeAll(decoder, header(10).substr(2) + "abc", 5);
    EXPECT_TRUE(decoder.insideFrame());
    EXPECT_EQ(decoder.bodyBytesReceived(), 3u);
    EXPECT_EQ(decoder.expectedLength(), 10u);
}

TEST(FrameDecoderTest, RejectsAHeaderAboveTheMaximumButNotAtIt) {
    FrameDecoder atLimit;
    EXPECT_EQ(atLimit.feed(header(FrameDecoder::kMaxFrameSize), [](std::string&&) {}),
              FrameDecoder::Result::Ok);
    EXPECT_EQ(atLimit.expectedLength(), FrameDecoder::kMaxFrameSize);

    for (std::uint32_t length : {FrameDecoder::kMaxFrameSize + 1, 0x80000000u, 0xFFFFFFFFu}) {
        FrameDecoder decoder;
        bool delivered = false;
        EXPECT_EQ(decoder.feed(header(length) + "more", [&](std::string&&) { delivered = true; }),
                  FrameDecoder::Result::Oversized);
        EXPECT_EQ(decoder.rejectedLength(), length);
        EXPECT_FALSE(delivered);
    }
}

TEST(TransactionCheckTest, AcceptsEveryActionAndKeepsThePayloadIntact) {
    const std::string entry = "<Entry id=\"12\" title='Tom &amp; \"Jerry\"'>a < b</Entry>";
    for (std::string_view action : aggrreceiver::kActionNames) {
        auto checked = aggrreceiver::checkTransaction(
            transaction("4294967295", std::string(action), "", "", entry));
        ASSERT_TRUE(checked.ok()) << action << ": " << checked.error;
        EXPECT_EQ(checked.info.action, action);
        EXPECT_EQ(checked.info.session, "4294967295");
        EXPECT_EQ(checked.info.paramId, "");
        EXPECT_EQ(checked.info.paramName, "");
        EXPECT_EQ(checked.info.payload, entry);
    }
    auto studio =
        aggrreceiver::checkTransaction(transaction("0", "AddStudio", "7", "Studio A", ""));
    ASSERT_TRUE(studio.ok()) << studio.error;
    EXPECT_EQ(studio.info.paramId, "7");
    EXPECT_EQ(studio.info.paramName, "Studio A");
    EXPECT_EQ(studio.info.payload, "");
}

TEST(TransactionCheckTest, AcceptsTheSerialiserFreedoms) {
    // An XML declaration, whitespace between elements, a payload with a line end kept as sent,
    // and a payload holding "]]>" split over two CDATA sections.
    std::string text =
        "<?xml version=\"1.0\"?>\n<Kri_Transact session='3'>\n  <Action name='UpdateTime'>\n"
        "    <Params>\n      <Param id=\"\" name=\"\"><![CDATA[x]]]]><![CDATA[>\r\ny]]></Param>\n"
        "    </Params>\n  </Action>\n</Kri_Transact>\n";
    auto checked = aggrreceiver::checkTransaction(text);
    ASSERT_TRUE(checked.ok()) << checked.error;
    EXPECT_EQ(checked.info.payload, "x]]>\r\ny");
}

TEST(TransactionCheckTest, NamesWhatIsWrongWithAMalformedTransaction) {
    const std::string good = transaction("1", "AddEntry", "5", "Entry", "<Entry/>");
    struct Case {
        std::string text;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"<Kri_Transact session=\"1\"><Action", "not well-formed XML"},
        {"", "not well-formed XML"},
        {good.substr(0, 40) + std::string(1, '\0') + good.substr(40), "zero byte"},
        {"<Transact session=\"1\"/>", "exactly one element \"Kri_Transact\""},
        {good + "<Kri_Transact session=\"2\"/>", "exactly one element \"Kri_Transact\""},
        {transaction("01", "AddEntry", "5", "Entry", ""), "session \"01\""},
        {transaction("-1", "AddEntry", "5", "Entry", ""), "session \"-1\""},
        {transaction("4294967296", "AddEntry", "5", "Entry", ""), "session \"4294967296\""},
        {transaction("", "AddEntry", "5", "Entry", ""), "session \"\""},
        {transaction("1", "AddEntries", "5", "Entry", ""), "unknown action \"AddEntries\""},
        {"<Kri_Transact session=\"1\" extra=\"x\"/>", "exactly the attributes \"session\""},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params><Param name=\"Entry\" "
         "id=\"5\"><![CDATA[]]></Param></Params></Action></Kri_Transact>",
         "exactly the attributes \"id\" then \"name\""},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params><Param id=\"5\">"
         "<![CDATA[]]></Param></Params></Action></Kri_Transact>",
         "exactly the attributes \"id\" then \"name\""},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params a=\"\"><Param id=\"5\" "
         "name=\"E\"><![CDATA[]]></Param></Params></Action></Kri_Transact>",
         "\"Params\" must have no attributes"},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params><Param id=\"5\" "
         "name=\"E\"/></Params></Action></Kri_Transact>",
         "no CDATA section"},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params><Param id=\"5\" "
         "name=\"E\">&lt;Entry/&gt;</Param></Params></Action></Kri_Transact>",
         "only its CDATA payload"},
        {"<Kri_Transact session=\"1\"><Action name=\"AddEntry\"><Params><Param id=\"5\" "
         "name=\"E\"><![CDATA[]]></Param><Param id=\"6\" name=\"E\"><![CDATA[]]></Param>"
         "</Params></Action></Kri_Transact>",
         "\"Params\" must hold exactly one element \"Param\""},
        {"<Kri_Transact session=\"1\">text<Action name=\"AddEntry\"/></Kri_Transact>",
         "\"Kri_Transact\" must hold exactly one element \"Action\""},
    };
    for (const Case& c : cases) {
        auto checked = aggrreceiver::checkTransaction(c.text);
        EXPECT_FALSE(checked.ok()) << c.text;
        EXPECT_NE(checked.error.find(c.expected), std::string::npos)
            << "for " << c.text << "\n got: " << checked.error;
    }
}

TEST(ReceiverOptionsTest, RequiresTheTlsFilesAndChecksNumbers) {
    using aggrreceiver::parseReceiverOptions;
    const std::vector<std::string> files = {"--cert", "c", "--key", "k", "--ca", "a"};
    auto with = [&files](std::vector<std::string> more) {
        more.insert(more.begin(), files.begin(), files.end());
        return parseReceiverOptions(more);
    };
    auto parsed =
        with({"--port", "4711", "--max-clients", "3", "--stop-reading", "--close-after", "20"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.port, 4711);
    EXPECT_EQ(parsed.options.maxClients, 3);
    EXPECT_TRUE(parsed.options.stopReading);
    EXPECT_EQ(parsed.options.closeAfter, 20);
    EXPECT_EQ(parsed.options.address, "127.0.0.1");

    EXPECT_NE(parseReceiverOptions({"--cert", "c", "--key", "k"}).error, "");
    EXPECT_NE(with({"--port", "65536"}).error, "");
    EXPECT_NE(with({"--port", "12x"}).error, "");
    EXPECT_NE(with({"--max-clients", "0"}).error, "");
    EXPECT_NE(with({"--close-after", "0"}).error, "");
    EXPECT_NE(with({"--bogus", "1"}).error, "");
    EXPECT_NE(with({"--port"}).error, "");
    EXPECT_TRUE(parseReceiverOptions({"--help"}).options.help);
}

TEST_F(AggrReceiverProcessTest, ReportsEachTransactionAndRecordsItsText) {
    std::string recordPath =
        testcerts::testCerts().dir + "/receiver-test-" + std::to_string(getpid()) + ".txt";
    auto receiver = AggrReceiverProcess::start({"--transactions", recordPath});
    TlsTestClient client = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(
        receiver->waitForLine(client.peer() + "accepted client subject=\"CN=Kri Test Client"))
        << receiver->output();

    const std::string entry = "<Entry id=\"12\" title='Tom &amp; \"Jerry\"'>a < b</Entry>";
    std::vector<std::string> texts = {
        transaction("0", "AddStudio", "7", "Studio A", ""),
        transaction("1", "AddSession", "0", "P1", "<Playlist name=\"P1\"/>"),
        transaction("1", "AddEntry", "12", "Entry", entry),
        transaction("1", "UpdateEntry", "12", "Entry", entry),
        transaction("1", "RemoveEntry", "12", "Entry", entry),
        transaction("1", "UpdateTime", "", "", "<Time/>"),
        transaction("1", "ChangeSegment", "3", "", entry),
        transaction("1", "RemoveSession", "0", "P1", ""),
    };
    // The first four in one write, the rest a few bytes at a time.
    ASSERT_TRUE(
        client.send(framed(texts[0]) + framed(texts[1]) + framed(texts[2]) + framed(texts[3])));
    std::string rest;
    for (std::size_t i = 4; i < texts.size(); ++i) {
        rest += framed(texts[i]);
    }
    for (std::size_t at = 0; at < rest.size(); at += 7) {
        ASSERT_TRUE(client.send(rest.substr(at, 7)));
    }

    ASSERT_TRUE(receiver->waitForLines(" transaction ", texts.size())) << receiver->output();
    auto lines = receiver->linesContaining(" transaction ");
    auto expectLine = [&](std::size_t i, const std::string& fields, std::size_t payload) {
        EXPECT_NE(lines[i].find(client.peer() + "transaction " + fields +
                                " payload=" + std::to_string(payload) +
                                " frame=" + std::to_string(texts[i].size())),
                  std::string::npos)
            << lines[i];
    };
    expectLine(0, "session=0 action=AddStudio id=\"7\" name=\"Studio A\"", 0);
    expectLine(1, "session=1 action=AddSession id=\"0\" name=\"P1\"", 21);
    expectLine(2, "session=1 action=AddEntry id=\"12\" name=\"Entry\"", entry.size());
    expectLine(3, "session=1 action=UpdateEntry id=\"12\" name=\"Entry\"", entry.size());
    expectLine(4, "session=1 action=RemoveEntry id=\"12\" name=\"Entry\"", entry.size());
    expectLine(5, "session=1 action=UpdateTime id=\"\" name=\"\"", 7);
    expectLine(6, "session=1 action=ChangeSegment id=\"3\" name=\"\"", entry.size());
    expectLine(7, "session=1 action=RemoveSession id=\"0\" name=\"P1\"", 0);
    EXPECT_TRUE(receiver->linesContaining("error").empty()) << receiver->output();

    ASSERT_EQ(receiver->stop(), 0);
    std::string record = readFile(recordPath);
    std::size_t at = 0;
    for (const std::string& text : texts) {
        std::size_t head = record.find("--- transaction ", at);
        ASSERT_NE(head, std::string::npos);
        std::size_t bodyStart = record.find('\n', head) + 1;
        EXPECT_NE(record.substr(head, bodyStart - head)
                      .find(", " + std::to_string(text.size()) + " bytes\n"),
                  std::string::npos);
        EXPECT_EQ(record.substr(bodyStart, text.size() + 1), text + "\n");
        at = bodyStart + text.size();
    }
    unlink(recordPath.c_str());
}

TEST_F(AggrReceiverProcessTest, RejectsClientsWithoutATrustedCertificateAndServesOthers) {
    auto receiver = AggrReceiverProcess::start();
    const testcerts::CertFiles& certs = testcerts::testCerts();

    TlsTestClient anonymous(receiver->port(), std::nullopt);
    anonymous.handshake();  // with TLS 1.3 the refusal only shows at the next read
    EXPECT_TRUE(anonymous.closedByReceiver());
    auto refused = receiver->waitForLine(anonymous.peer() + "error: handshake failed");
    ASSERT_TRUE(refused) << receiver->output();
    EXPECT_NE(refused->find("did not return a certificate"), std::string::npos) << *refused;

    TlsTestClient stranger(
        receiver->port(), TlsTestClient::Identity{certs.otherClientCert, certs.otherClientKey, ""});
    stranger.handshake();
    EXPECT_TRUE(stranger.closedByReceiver());
    refused = receiver->waitForLine(stranger.peer() + "error: handshake failed");
    ASSERT_TRUE(refused) << receiver->output();
    EXPECT_NE(refused->find("certificate verify failed"), std::string::npos) << *refused;
    EXPECT_TRUE(receiver->linesContaining(stranger.peer() + "accepted").empty());

    TlsTestClient trusted = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(trusted.handshake());
    ASSERT_TRUE(trusted.send(framed(transaction("0", "AddStudio", "1", "S", ""))));
    EXPECT_TRUE(receiver->waitForLine(trusted.peer() + "transaction session=0"))
        << receiver->output();
}

TEST_F(AggrReceiverProcessTest, OversizedFrameClosesThatClientOnly) {
    auto receiver = AggrReceiverProcess::start();
    TlsTestClient greedy = TlsTestClient::withClientCert(receiver->port());
    TlsTestClient modest = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(greedy.handshake());
    ASSERT_TRUE(modest.handshake());

    ASSERT_TRUE(greedy.send(header(FrameDecoder::kMaxFrameSize + 1) + "<Kri_Transact"));
    auto rejected = receiver->waitForLine(greedy.peer() + "error: frame of 16777217 bytes");
    ASSERT_TRUE(rejected) << receiver->output();
    EXPECT_NE(rejected->find("maximum message size of 16777216"), std::string::npos);
    EXPECT_TRUE(greedy.closedByReceiver());
    EXPECT_TRUE(receiver->waitForLine(greedy.peer() + "closed transactions=0"));

    // A frame of exactly the maximum size is still a transaction.
    std::string shell = transaction("9", "AddEntry", "1", "Entry", "");
    std::string padding(FrameDecoder::kMaxFrameSize - shell.size(), 'p');
    std::string largest = transaction("9", "AddEntry", "1", "Entry", padding);
    ASSERT_EQ(largest.size(), FrameDecoder::kMaxFrameSize);
    ASSERT_TRUE(modest.send(framed(largest)));
    auto line = receiver->waitForLine(modest.peer() + "transaction session=9",
                                      std::chrono::milliseconds(20000));
    ASSERT_TRUE(line) << receiver->output();
    EXPECT_NE(line->find("payload=" + std::to_string(padding.size()) + " frame=16777216"),
              std::string::npos);
}

TEST_F(AggrReceiverProcessTest, ReportsMalformedAndCutShortFramesAndReadsOn) {
    auto receiver = AggrReceiverProcess::start();
    TlsTestClient client = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(client.send(framed("<Kri_Transact session=\"1\"><Action>") + framed("") +
                            framed(transaction("1", "Shout", "", "", "")) +
                            framed(transaction("2", "UpdateTime", "", "", "<T/>"))));
    ASSERT_TRUE(receiver->waitForLine(client.peer() + "transaction session=2"))
        << receiver->output();
    auto malformed = receiver->linesContaining(client.peer() + "error: malformed transaction");
    ASSERT_EQ(malformed.size(), 2u) << receiver->output();
    EXPECT_NE(malformed[0].find("not well-formed XML"), std::string::npos) << malformed[0];
    EXPECT_NE(malformed[1].find("unknown action \"Shout\""), std::string::npos) << malformed[1];
    EXPECT_EQ(receiver->linesContaining(client.peer() + "empty frame ignored").size(), 1u);

    ASSERT_TRUE(client.send(header(100) + "<Kri_Transact"));
    client.closeNow();
    EXPECT_TRUE(
        receiver->waitForLine(client.peer() + "error: connection ended inside a frame (13 of 100"))
        << receiver->output();
}

TEST_F(AggrReceiverProcessTest, StopsCleanlyOnSigtermAndSigintWithASummary) {
    auto receiver = AggrReceiverProcess::start();
    {
        TlsTestClient client = TlsTestClient::withClientCert(receiver->port());
        ASSERT_TRUE(client.handshake());
        ASSERT_TRUE(client.send(framed(transaction("0", "AddStudio", "7", "A", "")) +
                                framed(transaction("1", "UpdateEntry", "1", "Entry", "")) +
                                framed(transaction("1", "UpdateEntry", "2", "Entry", "")) +
                                framed(transaction("1", "UpdateEntry", "2", "Entry", "")) +
                                framed("<broken")));
        ASSERT_TRUE(receiver->waitForLine("error: malformed")) << receiver->output();
        TlsTestClient anonymous(receiver->port(), std::nullopt);
        anonymous.handshake();
        EXPECT_TRUE(anonymous.closedByReceiver());
        ASSERT_TRUE(receiver->waitForLine("error: handshake failed")) << receiver->output();
        // This client is still connected when the signal comes.
        ASSERT_EQ(receiver->stop(), 0);
    }
    EXPECT_TRUE(receiver->waitForLine("stopping on SIGTERM"));
    EXPECT_EQ(receiver->lines().back(),
              "summary transactions=4 AddStudio=1 AddSession=0 RemoveSession=0 AddEntry=0 "
              "UpdateEntry=3 RemoveEntry=0 UpdateTime=0 ChangeSegment=0 clients=2 duplicates=1 "
              "errors=2")
        << receiver->output();
    EXPECT_EQ(1u, receiver->linesContaining("frame=141 duplicate").size()) << receiver->output();

    auto interrupted = AggrReceiverProcess::start();
    interrupted->sendSignal(SIGINT);
    EXPECT_EQ(interrupted->waitForExit(), 0);
    EXPECT_TRUE(interrupted->waitForLine("stopping on SIGINT"));
    EXPECT_TRUE(interrupted->waitForLine("summary transactions=0 "));
}

TEST_F(AggrReceiverProcessTest, FailsToStartWithAClearMessage) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    auto running = AggrReceiverProcess::start();
    const std::string busyPort = std::to_string(running->port());
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string expected;
    };
    auto files = [&certs](const std::string& cert, const std::string& key, const std::string& ca) {
        return std::vector<std::string>{"--cert", cert, "--key", key, "--ca", ca};
    };
    std::vector<Case> cases = {
        {files(certs.corruptPem, certs.serverKey, certs.caCert), 1,
         "cannot load the certificate file '" + certs.corruptPem + "'"},
        {files(certs.dir + "/missing.crt", certs.serverKey, certs.caCert), 1,
         "cannot read the certificate file '" + certs.dir + "/missing.crt': No such file"},
        {files(certs.serverCert, certs.wrongKey, certs.caCert), 1,
         "the private key '" + certs.wrongKey + "' does not match the certificate"},
        {files(certs.clientCert, certs.clientKey, certs.caCert), 1,
         "cannot load the private key file '" + certs.clientKey + "'"},
        {files(certs.serverCert, certs.serverKey, certs.corruptPem), 1,
         "cannot load the CA file '" + certs.corruptPem + "'"},
        {[&] {
             auto arguments = AggrReceiverProcess::testCertArguments();
             arguments.back() = busyPort;
             return arguments;
         }(),
         1, "cannot listen on 127.0.0.1:" + busyPort + ": Address already in use"},
        {{"--cert", certs.serverCert}, 2, "--cert, --key and --ca are required"},
    };
    for (const Case& c : cases) {
        AggrReceiverProcess receiver(c.arguments);
        EXPECT_EQ(receiver.waitForExit(), c.status) << receiver.output();
        EXPECT_TRUE(receiver.waitForLine(c.expected)) << "expected: " << c.expected << "\n"
                                                      << receiver.output();
        EXPECT_TRUE(receiver.linesContaining("listening on").empty());
    }

    AggrReceiverProcess withKeyPass([&] {
        auto arguments = files(certs.clientCert, certs.clientKey, certs.caCert);
        arguments.insert(arguments.end(), {"--key-pass", "wexol", "--port", "0"});
        return arguments;
    }());
    EXPECT_TRUE(withKeyPass.waitForLine("listening on 127.0.0.1:")) << withKeyPass.output();
    EXPECT_EQ(withKeyPass.stop(), 0);

    AggrReceiverProcess help({"--help"});
    EXPECT_EQ(help.waitForExit(), 0);
    EXPECT_TRUE(help.waitForLine("--stop-reading"));
}

TEST_F(AggrReceiverProcessTest, MaxClientsRefusesTheClientBeyondTheLimit) {
    auto receiver = AggrReceiverProcess::start({"--max-clients", "1"});
    TlsTestClient first = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(first.handshake());
    ASSERT_TRUE(receiver->waitForLine(first.peer() + "accepted"));
    TlsTestClient second = TlsTestClient::withClientCert(receiver->port());
    EXPECT_FALSE(second.handshake());
    EXPECT_TRUE(receiver->waitForLine(second.peer() + "refused: 1 clients already connected"))
        << receiver->output();
    ASSERT_TRUE(first.send(framed(transaction("0", "AddStudio", "1", "S", ""))));
    EXPECT_TRUE(receiver->waitForLine(first.peer() + "transaction"));
}

TEST_F(AggrReceiverProcessTest, StopReadingMakesTheSendersWritesBlock) {
    auto receiver = AggrReceiverProcess::start({"--stop-reading"});
    TlsTestClient client = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(receiver->waitForLine(client.peer() + "accepted"));
    fcntl(client.socket(), F_SETFL, fcntl(client.socket(), F_GETFL) | O_NONBLOCK);

    std::string frame = framed(transaction("1", "AddEntry", "1", "Entry", std::string(60000, 'e')));
    bool blocked = false;
    // Loopback buffers hold a few megabytes at most; 64 MiB is far beyond them.
    for (int i = 0; i < 1100 && !blocked; ++i) {
        int written = SSL_write(client.ssl(), frame.data(), static_cast<int>(frame.size()));
        blocked = written <= 0 && SSL_get_error(client.ssl(), written) == SSL_ERROR_WANT_WRITE;
        ASSERT_TRUE(blocked || written == static_cast<int>(frame.size()));
    }
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(receiver->linesContaining(" transaction ").empty());
}

// The close_notify comes after the second transaction even though the third arrived with it in
// one write; what the client writes after receiving it is still read.
TEST_F(AggrReceiverProcessTest, CloseAfterEndsTheConnectionPolitelyAndReadsOn) {
    auto receiver = AggrReceiverProcess::start({"--close-after", "2"});
    TlsTestClient client = TlsTestClient::withClientCert(receiver->port());
    ASSERT_TRUE(client.handshake());
    const std::string update = framed(transaction("1", "UpdateTime", "", "", "<Time/>"));
    ASSERT_TRUE(client.send(framed(transaction("0", "AddStudio", "1", "S", "")) + update + update));
    char byte;
    const int read = SSL_read(client.ssl(), &byte, 1);
    EXPECT_EQ(SSL_get_error(client.ssl(), read), SSL_ERROR_ZERO_RETURN);
    ASSERT_TRUE(client.send(update));
    client.closeNow();
    ASSERT_TRUE(receiver->waitForLine(client.peer() + "closed transactions=4"))
        << receiver->output();
    const std::vector<std::string> lines = receiver->linesContaining(client.peer());
    ASSERT_GE(lines.size(), 5u) << receiver->output();
    EXPECT_NE(lines[4].find("close_notify sent after 2 transactions"), std::string::npos)
        << receiver->output();
    EXPECT_TRUE(receiver->linesContaining("error").empty()) << receiver->output();
}

TEST_F(AggrReceiverProcessTest, ClosesAClientThatNeverFinishesItsHandshake) {
    auto receiver = AggrReceiverProcess::start({"--handshake-timeout", "1"});
    TlsTestClient silent = TlsTestClient::withClientCert(receiver->port());
    EXPECT_TRUE(receiver->waitForLine(silent.peer() + "error: handshake not finished within 1 s"))
        << receiver->output();
    EXPECT_TRUE(receiver->waitForLine(silent.peer() + "closed"));
}
