#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/Com.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/FakeAtmnObjects.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"

namespace {

using Calls = std::vector<std::string>;

// Every test checks that the builder left the component's objects and strings as it found
// them: each reference taken released once, every returned string freed once, no call made
// without a reference.
class AtmnDocuments : public ::testing::Test {
protected:
    void SetUp() override {
        setKriLogSink(&sink);
        liveStringsBefore = platform::liveBstrCount();
    }
    void TearDown() override {
        setKriLogSink(nullptr);
        EXPECT_EQ(platform::liveBstrCount(), liveStringsBefore) << "strings leaked or freed twice";
    }

    static void expectBalanced(const fakes::FakeObjectState& state) {
        EXPECT_EQ(state.references, 1);
        EXPECT_EQ(state.excessReleases, 0);
        EXPECT_EQ(state.callsWithoutReference, 0);
    }

    void expectExportErrorTrace() {
        ASSERT_EQ(sink.traces.size(), 1u);
        EXPECT_EQ(sink.traces[0].message, "Error in exporting xml of Entry object");
        EXPECT_EQ(
            sink.traces[0].stamp.rfind("Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments:", 0),
            0u)
            << sink.traces[0].stamp;
    }

    CapturingLogSink sink;
    long liveStringsBefore = 0;
};

// The document the text parses to, so that values can be read back whatever the writer's form.
CElementNode parsed(CXMLDoc& doc, const String& text) {
    CMemXMLSrc source;
    source.SetMemPtr(text);
    doc.Parse(source);
    return doc.GetRootElement();
}

TEST_F(AtmnDocuments, EntryDocumentTreeAttributeOrderAndCallOrder) {
    fakes::FakeEntry entry;
    const String xml = buildEntryXml(&entry);
    EXPECT_STREQ(xml.c_str(),
                 "<Entry id=\"E-1\" name=\"News\" status=\"Running\">"
                 "<Segment id=\"1\"><OnAir>"
                 "<Date year=\"2024\" month=\"3\" day=\"9\"/>"
                 "<Time hh=\"18\" mm=\"30\" ss=\"0\" ff=\"0\"/>"
                 "<Duration hh=\"0\" mm=\"2\" ss=\"30\" ff=\"12\"/>"
                 "</OnAir></Segment>"
                 "<YuTrigger active=\"true\" sent=\"false\"/>"
                 "</Entry>");
    EXPECT_EQ(entry.state.calls, (Calls{"AddRef", "GetId", "GetName", "GetStatus", "GetSegment",
                                        "GetOnAirDate", "GetOnAirTime", "GetDuration", "Release"}));
    expectBalanced(entry.state);
    EXPECT_TRUE(sink.traces.empty());
}

TEST_F(AtmnDocuments, EveryStatusCodeHasItsTextAndOthersAnEmptyAttribute) {
    const char* expected[] = {"",        "Done",      "Running", "Prerolled", "Postrolled",
                              "Standby", "NotPlayed", "Skipped", "Pending",   ""};
    for (int32_t code = 0; code <= 9; ++code) {
        fakes::FakeEntry entry;
        entry.status = code;
        CXMLDoc doc;
        CElementNode root = parsed(doc, buildEntryXml(&entry));
        CAttributeNode status = root["status"];
        ASSERT_FALSE(status.IsEmpty()) << code;
        EXPECT_STREQ(status.GetNodeValue().c_str(), expected[code]) << code;
        expectBalanced(entry.state);
    }
    EXPECT_STREQ(atmnStatusText(-1), "");
    EXPECT_STREQ(atmnStatusText(0x7FFFFFFF), "");
}

TEST_F(AtmnDocuments, UntouchedValuesAreZeroOrEmptyAndNegativeNumbersKeepTheirSign) {
    fakes::FakeEntry untouched;
    untouched.segment.reset();
    untouched.id.reset();
    untouched.name.reset();
    const String xml = buildEntryXml(&untouched);
    EXPECT_NE(std::string(xml.c_str())
                  .find("<Entry id=\"\" name=\"\" status=\"Running\">"
                        "<Segment id=\"0\">"),
              std::string::npos)
        << xml.c_str();
    expectBalanced(untouched.state);

    fakes::FakeEntry negative;
    negative.segment = -2;
    negative.onAirDate = {-1, 0, -31};
    negative.onAirTime = {0, 0, 0, -1};
    negative.duration = {-2147483647 - 1, -10, 0, 2147483647};
    EXPECT_STREQ(buildEntryXml(&negative).c_str(),
                 "<Entry id=\"E-1\" name=\"News\" status=\"Running\">"
                 "<Segment id=\"-2\"><OnAir>"
                 "<Date year=\"-1\" month=\"0\" day=\"-31\"/>"
                 "<Time hh=\"0\" mm=\"0\" ss=\"0\" ff=\"-1\"/>"
                 "<Duration hh=\"-2147483648\" mm=\"-10\" ss=\"0\" ff=\"2147483647\"/>"
                 "</OnAir></Segment>"
                 "<YuTrigger active=\"true\" sent=\"false\"/>"
                 "</Entry>");
    expectBalanced(negative.state);
}

TEST_F(AtmnDocuments, ComponentTextBecomesUtf8AndBrokenUtf16IsReplaced) {
    fakes::FakeEntry entry;
    entry.id = u"a&b<\"c\">";
    entry.name = std::u16string(u"K\u00FChl \U0001F3AC ") + char16_t(0xD83C) + u"end";
    CXMLDoc doc;
    CElementNode root = parsed(doc, buildEntryXml(&entry));
    EXPECT_STREQ(root["id"].GetNodeValue().c_str(), "a&b<\"c\">");
    EXPECT_STREQ(root["name"].GetNodeValue().c_str(),
                 "K\xC3\xBChl \xF0\x9F\x8E\xAC \xEF\xBF\xBD"
                 "end");
    expectBalanced(entry.state);
}

// The entry document as the XML classes write it for the same values: the reference for the
// text the builder writes directly.
std::string entryByXmlClasses(const String& id, const String& name, const fakes::FakeEntry& e) {
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("Entry");
    root.AddAttribute("id", id);
    root.AddAttribute("name", name);
    root.AddAttribute("status", atmnStatusText(e.status));
    CElementNode segment = root.AppendChild(CElementNode("Segment"));
    segment.AddAttribute("id", String(*e.segment));
    CElementNode onAir = segment.AppendChild(CElementNode("OnAir"));
    CElementNode date = onAir.AppendChild(CElementNode("Date"));
    date.AddAttribute("year", String(e.onAirDate.year));
    date.AddAttribute("month", String(e.onAirDate.month));
    date.AddAttribute("day", String(e.onAirDate.day));
    for (const auto& [element, time] : {std::pair{"Time", e.onAirTime}, {"Duration", e.duration}}) {
        CElementNode node = onAir.AppendChild(CElementNode(element));
        node.AddAttribute("hh", String(time.hh));
        node.AddAttribute("mm", String(time.mm));
        node.AddAttribute("ss", String(time.ss));
        node.AddAttribute("ff", String(time.ff));
    }
    CElementNode trigger = root.AppendChild(CElementNode("YuTrigger"));
    trigger.AddAttribute("active", "true");
    trigger.AddAttribute("sent", "false");
    return root.GetXml().c_str();
}

TEST_F(AtmnDocuments, TheWrittenEntryIsWhatTheXmlClassesWriteForAnyText) {
    std::mt19937 random(20261208);
    const char16_t alphabet[] = {u'a',   u'&',   u'<',   u'>',   u'"',   u'\'',  u'\t',
                                 u'\n',  u'\r',  u' ',   u']',   0x0001, 0x001F, 0x00FC,
                                 0xD83C, 0xDFAC, 0xFFFD, 0x20AC, u';',   u'#'};
    for (int round = 0; round < 2000; ++round) {
        fakes::FakeEntry entry;
        std::u16string texts[2];
        for (std::u16string& text : texts) {
            for (size_t n = random() % 12; n > 0; --n) {
                text += alphabet[random() % std::size(alphabet)];
            }
        }
        entry.id = texts[0];
        entry.name = texts[1];
        entry.status = static_cast<int32_t>(random() % 10);
        entry.segment = static_cast<int32_t>(random());
        entry.onAirTime.ff = -1;
        const String id(platform::utf16ToUtf8(texts[0].data(), texts[0].size()).c_str());
        const String name(platform::utf16ToUtf8(texts[1].data(), texts[1].size()).c_str());
        ASSERT_EQ(entryByXmlClasses(id, name, entry), buildEntryXml(&entry).c_str())
            << "id: " << id.c_str() << " name: " << name.c_str();
    }
    EXPECT_TRUE(sink.traces.empty());
}

TEST_F(AtmnDocuments, EntryThatFailsHalfwayGivesTheTraceLineAndTheDocumentSoFar) {
    const char* methods[] = {"GetId",        "GetName",      "GetStatus",  "GetSegment",
                             "GetOnAirDate", "GetOnAirTime", "GetDuration"};
    const char* partial[] = {
        "<Entry/>",
        "<Entry id=\"E-1\"/>",
        "<Entry id=\"E-1\" name=\"News\"/>",
        "<Entry id=\"E-1\" name=\"News\" status=\"Running\"/>",
        "<Entry id=\"E-1\" name=\"News\" status=\"Running\"><Segment id=\"1\"><OnAir/>"
        "</Segment></Entry>",
        "<Entry id=\"E-1\" name=\"News\" status=\"Running\"><Segment id=\"1\"><OnAir>"
        "<Date year=\"2024\" month=\"3\" day=\"9\"/></OnAir></Segment></Entry>",
        "<Entry id=\"E-1\" name=\"News\" status=\"Running\"><Segment id=\"1\"><OnAir>"
        "<Date year=\"2024\" month=\"3\" day=\"9\"/><Time hh=\"18\" mm=\"30\" ss=\"0\" ff=\"0\"/>"
        "</OnAir></Segment></Entry>",
    };
    for (std::size_t i = 0; i < std::size(methods); ++i) {
        sink.traces.clear();
        fakes::FakeEntry entry;
        entry.state.failIn = methods[i];
        EXPECT_STREQ(buildEntryXml(&entry).c_str(), partial[i]) << methods[i];
        EXPECT_EQ(entry.state.calls.back(), "Release") << methods[i];
        expectBalanced(entry.state);
        expectExportErrorTrace();
    }
}

TEST_F(AtmnDocuments, PlaylistDocumentWithTheComponentsHouseTime) {
    fakes::FakePlaylist playlist;
    playlist.id = -5;
    playlist.name = u"Studio 1";
    fakes::FakeSystem component;
    EXPECT_STREQ(buildPlaylistXml(&playlist, &component).c_str(),
                 "<Playlist id=\"-5\" name=\"Studio 1\"><HouseTime>"
                 "<Date year=\"2024\" month=\"12\" day=\"31\"/>"
                 "<Time hh=\"23\" mm=\"59\" ss=\"59\" ff=\"24\"/>"
                 "</HouseTime></Playlist>");
    EXPECT_EQ(playlist.state.calls, (Calls{"AddRef", "GetId", "GetName", "Release"}));
    EXPECT_EQ(component.state.calls, (Calls{"GetHouseTime"}));
    expectBalanced(playlist.state);
    EXPECT_EQ(component.state.references, 1);
    EXPECT_TRUE(sink.traces.empty());
}

TEST_F(AtmnDocuments, PlaylistThatFailsGivesTheSameTraceLineAndThePartialDocument) {
    fakes::FakePlaylist playlist;
    fakes::FakeSystem component;
    component.state.failIn = "GetHouseTime";
    EXPECT_STREQ(buildPlaylistXml(&playlist, &component).c_str(),
                 "<Playlist id=\"7\" name=\"Main\"><HouseTime/></Playlist>");
    expectBalanced(playlist.state);
    expectExportErrorTrace();

    sink.traces.clear();
    fakes::FakePlaylist failingName;
    failingName.state.failIn = "GetName";
    EXPECT_STREQ(buildPlaylistXml(&failingName, &component).c_str(), "<Playlist id=\"7\"/>");
    expectBalanced(failingName.state);
    expectExportErrorTrace();
}

TEST_F(AtmnDocuments, HouseTimeDocumentHasTheShapeOfThePlaylistsHouseTime) {
    fakes::FakePlaylist playlist;
    fakes::FakeSystem component;
    component.houseDate = {2025, 1, 2};
    component.houseTime = {0, 0, 5, -1};
    const String houseTime = buildHouseTimeXml(component.houseDate, component.houseTime);
    EXPECT_STREQ(houseTime.c_str(),
                 "<HouseTime><Date year=\"2025\" month=\"1\" day=\"2\"/>"
                 "<Time hh=\"0\" mm=\"0\" ss=\"5\" ff=\"-1\"/></HouseTime>");
    const std::string playlistXml = buildPlaylistXml(&playlist, &component).c_str();
    EXPECT_NE(playlistXml.find(houseTime.c_str()), std::string::npos) << playlistXml;
}

}  // namespace
