// The transaction texts and the session registry of the aggregation client, without a connection.
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/ReferenceTransaction.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"
#include "YuException.h"

namespace {

std::string text(const String& s) {
    return s.c_str();
}

// The transaction as the XML classes give it: parse the action, append it under a new
// `Kri_Transact` root, write the root.
std::string parsedAndWrittenAgain(uint32_t session, const String& actionText) {
    CMemXMLSrc source;
    source.SetMemPtr(actionText);
    CXMLDoc action;
    action.Parse(source);
    CXMLDoc transaction;
    CElementNode root = transaction.CreateRootElement("Kri_Transact");
    root.AddAttribute("session", String(static_cast<unsigned long>(session)));
    root.AppendChild(action.GetRootElement());
    return text(root.GetXml());
}

TEST(AggrTransactionText, ActionAndTransactionHaveTheFixedTreeAndAttributeOrder) {
    const String action = referencetransaction::buildAction("AddStudio", "7", "Studio A", "");
    EXPECT_EQ(
        "<Action name=\"AddStudio\"><Params><Param id=\"7\" name=\"Studio A\"><![CDATA[]]>"
        "</Param></Params></Action>",
        text(action));
    EXPECT_EQ(
        "<Kri_Transact session=\"4294967295\"><Action name=\"UpdateTime\"><Params>"
        "<Param id=\"\" name=\"\"><![CDATA[<HouseTime hh=\"1\"/>]]></Param></Params></Action>"
        "</Kri_Transact>",
        text(referencetransaction::wrapAction(
            4294967295u,
            referencetransaction::buildAction("UpdateTime", "", "", "<HouseTime hh=\"1\"/>"))));
}

TEST(AggrTransactionText, WrappingEqualsParsingAndWritingAgainForAwkwardTexts) {
    const std::vector<std::string> texts = {
        "",
        "<Entry id=\"E&amp;1\" name='quoted \"x\"'><Segment/></Entry>",
        "line\r\nends\rmixed\n\r\n",
        "ends ]]> the section ]]]]> twice",
        "control \x01\x1f bytes",
        "\xC3\xA9t\xC3\xA9 <>&\"'",
    };
    for (const std::string& t : texts) {
        for (uint32_t session : {0u, 1u, 123456u}) {
            const String action =
                referencetransaction::buildAction("UpdateEntry", t.c_str(), t.c_str(), t.c_str());
            EXPECT_EQ(parsedAndWrittenAgain(session, action),
                      text(referencetransaction::wrapAction(session, action)))
                << "text: " << t;
        }
    }
}

// A random text made of pieces that the writer treats apart: CDATA ends and near-misses, line
// ends, tabs, control characters, bytes above 0x7F, quotes, angle brackets and ampersands.
std::string awkwardText(std::mt19937& random) {
    static const std::vector<std::string> pieces = {
        "a",    " ",        "]]>",          "]",    "]]",   ">",     "<",        "&",
        "\"",   "'",        "\r",           "\n",   "\r\n", "\t",    "\x01",     "\x1f",
        "\x7f", "\xC3\xA9", "\xEF\xBF\xBD", "\xFF", "\x80", "&amp;", "<![CDATA["};
    std::string text;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
        text += pieces[random() % pieces.size()];
    }
    return text;
}

// The direct writer against the document route, on seeded random texts in every field, in one
// buffer that held a longer or shorter frame. The writer scans plain bytes 8 at a time: over these
// rounds each byte it treats apart falls at every offset of a word ("]]>" and "\r\n" across a
// word's end too), and texts end at every offset.
TEST(AggrTransactionText, TheDirectWriterWritesWhatTheXmlClassesWrite) {
    std::mt19937 random(20261208);
    std::string frame;
    const char* const actions[] = {"AddEntry",      "UpdateEntry", "RemoveEntry",   "UpdateTime",
                                   "ChangeSegment", "AddSession",  "RemoveSession", "AddStudio"};
    for (int round = 0; round < 5000; ++round) {
        const char* action = actions[random() % 8];
        const std::string id = awkwardText(random);
        const std::string name = awkwardText(random);
        const std::string payload = awkwardText(random);
        const uint32_t session = round % 3 == 0 ? 0u : static_cast<uint32_t>(random());
        const std::string expected = text(referencetransaction::wrapAction(
            session,
            referencetransaction::buildAction(action, id.c_str(), name.c_str(), payload.c_str())));
        transactionwriter::writeFrame(frame, session, action, id.c_str(), name.c_str(),
                                      payload.c_str());
        ASSERT_GE(frame.size(), 4u);
        const uint32_t length = (uint32_t{static_cast<unsigned char>(frame[0])} << 24) |
                                (uint32_t{static_cast<unsigned char>(frame[1])} << 16) |
                                (uint32_t{static_cast<unsigned char>(frame[2])} << 8) |
                                uint32_t{static_cast<unsigned char>(frame[3])};
        ASSERT_EQ(expected, frame.substr(4))
            << "id: " << id << " name: " << name << " payload: " << payload;
        ASSERT_EQ(expected.size(), length);
    }
}

TEST(AggrTransactionText, AnActionTextThatIsNotXmlIsRefused) {
    CAggrSvrClient client;
    EXPECT_THROW(client.sendTransaction(1, "<Action name=\"x\">"), CXMLException);
    EXPECT_EQ(
        CAggrSvrClient::kSuccess,
        client.sendTransaction(1, referencetransaction::buildAction("AddEntry", "1", "Entry", "")));
}

TEST(AggrSessionRegistry, IdsComeFromACounterAndAreNeverHandedOutAgain) {
    CAggrSvrClient client;
    EXPECT_EQ(0u, client.findSession("P1"));

    EXPECT_EQ(1u, client.addSession("P1", "P1", "<Playlist name=\"P1\"/>"));
    EXPECT_EQ(2u, client.addSession("P2", "P2", ""));
    EXPECT_EQ(1u, client.findSession("P1"));
    EXPECT_EQ(2u, client.findSession("P2"));
    EXPECT_EQ(0u, client.findSession("p1"));
    EXPECT_EQ(0u, client.findSession("P"));

    EXPECT_EQ(CAggrSvrClient::kSuccess, client.removeSession(client.findSession("P1"), "P1"));
    EXPECT_EQ(0u, client.findSession("P1"));
    EXPECT_EQ(2u, client.findSession("P2"));
    EXPECT_EQ(3u, client.addSession("P1", "P1", ""));
    EXPECT_EQ(3u, client.findSession("P1"));
}

TEST(AggrSessionRegistry, ADuplicateKeyThrowsAndChangesNothing) {
    CAggrSvrClient client;
    ASSERT_EQ(1u, client.addSession("P1", "P1", ""));
    try {
        client.addSession("P1", "other name", "");
        FAIL() << "no exception";
    } catch (const YuException& e) {
        EXPECT_STREQ("insert: key already exists in list", e.getMessage());
        EXPECT_EQ(0, e.getCode());
    }
    EXPECT_EQ(1u, client.findSession("P1"));
    // The refused session used up no id.
    EXPECT_EQ(2u, client.addSession("P2", "P2", ""));
}

TEST(AggrSessionRegistry, RemovingAnUnregisteredIdRemovesNothing) {
    CAggrSvrClient client;
    client.addSession("P1", "P1", "");
    client.addSession("P2", "P2", "");
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.removeSession(0, "P1"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.removeSession(77, "P2"));
    EXPECT_EQ(1u, client.findSession("P1"));
    EXPECT_EQ(2u, client.findSession("P2"));
}

TEST(AggrSvrClientWithoutSockets, EveryOperationSucceedsAndTheEmptyLinkCountsAsUp) {
    CAggrSvrClient client;
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.addStudio("Studio A", "7"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.addEntry(1, "E1", "Entry", "<Entry/>"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.updateEntry(1, "E1", "Entry", "<Entry/>"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.removeEntry(1, "E1", "Entry", "<Entry/>"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.updateTime(0, "<HouseTime/>"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.changeSegment(0, "-3", "<Entry/>"));
    EXPECT_EQ(CAggrSvrClient::kSuccess, client.disconnect());
    EXPECT_TRUE(client.isConnected());
}

TEST(AggrSvrClientSetupSsl, AContextThatCannotBeMadeIsReportedWithItsStatusOnly) {
    CapturingLogSink sink;
    setKriLogSink(&sink);
    CAggrSvrClient client;
    const int32_t status =
        client.setupSsl("/nonexistent/client.crt", "/nonexistent/client.key", "/nonexistent/ca");
    setKriLogSink(nullptr);

    EXPECT_EQ(static_cast<int32_t>(0xCE000D01u), status);
    EXPECT_LT(status, 0);
    ASSERT_EQ(1u, sink.traces.size());
    EXPECT_EQ("Unable to create SSL context", sink.traces[0].message);
    EXPECT_EQ(0u, sink.traces[0].stamp.rfind("Tools/RovazoRiva/Common/AggrSvrConn:", 0));
    ASSERT_EQ(1u, sink.events.size());
    EXPECT_EQ(0xCE000D01u, sink.events[0].code);
    EXPECT_EQ("", sink.events[0].text);
}

}  // namespace
