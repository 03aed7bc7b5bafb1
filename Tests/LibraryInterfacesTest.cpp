#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/String.h"

namespace {

std::string text(const String& s) {
    return s.c_str();
}

CElementNode parseText(CXMLDoc& doc, const char* xml) {
    CMemXMLSrc source;
    source.SetMemPtr(xml);
    doc.Parse(source);
    return doc.GetRootElement();
}

// Why parsing the text fails; "parsed" when it does not.
std::string parseFailure(const char* xml) {
    CXMLDoc doc;
    CMemXMLSrc source;
    source.SetMemPtr(xml);
    try {
        doc.Parse(source);
    } catch (const CXMLException& e) {
        return e.what();
    }
    return "parsed";
}

// The texts of the CDATA sections in order, joined, read without the XML classes: what any
// reader makes of consecutive sections.
std::string joinedCData(const std::string& xml) {
    std::string joined;
    size_t at = 0;
    while ((at = xml.find("<![CDATA[", at)) != std::string::npos) {
        at += 9;
        size_t end = xml.find("]]>", at);
        joined += xml.substr(at, end - at);
        at = end + 3;
    }
    return joined;
}

// An Action element as the transaction builder makes it.
String actionXml(const String& name, const String& id, const String& paramName,
                 const String& payload) {
    CXMLDoc doc;
    CElementNode action = doc.CreateRootElement("Action");
    action.AddAttribute("name", name);
    CElementNode params = action.AppendChild(CElementNode("Params"));
    CElementNode param = params.AppendChild(CElementNode("Param"));
    param.AddAttribute("id", id);
    param.AddAttribute("name", paramName);
    param.AppendChild(CCDATASection(payload));
    return action.GetXml();
}

TEST(String, IntegersBecomePlainDecimal) {
    EXPECT_EQ("0", text(String(0)));
    EXPECT_EQ("-1", text(String(-1)));
    EXPECT_EQ("125", text(String(125)));
    EXPECT_EQ("-2147483648", text(String(INT32_MIN)));
    EXPECT_EQ("-9223372036854775808", text(String(LONG_MIN)));
    EXPECT_EQ("18446744073709551615", text(String(ULONG_MAX)));
    EXPECT_EQ("4294967295", text(String(UINT32_MAX)));
    EXPECT_EQ("-7", text(String(-7L)));
}

TEST(String, CompareLengthAndCopies) {
    String a("Studio A");
    String b = a;
    b = String("Studio B");
    EXPECT_EQ(0, a.Compare("Studio A"));
    EXPECT_NE(0, a.Compare("Studio a"));
    EXPECT_NE(0, a.Compare("Studio A "));
    EXPECT_LT(String("a").Compare("b"), 0);
    EXPECT_EQ(8, a.Length());
    EXPECT_EQ("Studio B", text(b));
    EXPECT_TRUE(a == String("Studio A"));
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == "Studio A");
    String fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(0, fromNull.Length());
    EXPECT_EQ(0, fromNull.Compare(nullptr));
    EXPECT_EQ(0, String().Compare(""));
}

TEST(String, ToIntReadsTheLeadingDecimalNumber) {
    EXPECT_EQ(5000, String("5000").ToInt());
    EXPECT_EQ(-17, String(" -17").ToInt());
    EXPECT_EQ(12, String("12abc").ToInt());
    EXPECT_EQ(0, String("abc").ToInt());
    EXPECT_EQ(0, String("").ToInt());
    EXPECT_EQ(INT32_MIN, String("-2147483648").ToInt());
    EXPECT_EQ(INT32_MAX, String("99999999999999999999").ToInt());
    EXPECT_EQ(INT32_MIN, String("-99999999999999999999").ToInt());
}

TEST(XmlWriter, AttributesKeepTheOrderTheyWereAdded) {
    CXMLDoc doc;
    CElementNode entry = doc.CreateRootElement("Entry");
    entry.AddAttribute("id", "7");
    entry.AddAttribute("name", "News");
    entry.AddAttribute("status", "");
    CElementNode segment = entry.AppendChild(CElementNode("Segment"));
    segment.AddAttribute("zz", "1");
    segment.AddAttribute("aa", "2");
    EXPECT_EQ("<Entry id=\"7\" name=\"News\" status=\"\"><Segment zz=\"1\" aa=\"2\"/></Entry>",
              text(entry.GetXml()));
    // A name given again keeps its place and takes the new value: no element carries it twice.
    entry.AddAttribute("id", "8");
    EXPECT_EQ("<Entry id=\"8\" name=\"News\" status=\"\"><Segment zz=\"1\" aa=\"2\"/></Entry>",
              text(entry.GetXml()));
}

TEST(XmlWriter, CDataPayloadReadsBackUnchanged) {
    const char* payloads[] = {
        "<Entry id=\"a&amp;b\" name='q\"'><Segment id=\"0\"/></Entry>",
        "x]]>y",
        "]]>",
        "]]]]>>",
        "a]]>b]]>c]]",
        "",
    };
    for (const char* payload : payloads) {
        SCOPED_TRACE(payload);
        String xml = actionXml("UpdateEntry", "42", "Entry", payload);
        EXPECT_EQ(payload, joinedCData(xml.c_str()));
        CXMLDoc parsed;
        CElementNode param = parseText(parsed, xml.c_str())("Params")("Param");
        EXPECT_EQ(payload, text(param.GetNodeValue()));
        // Writing the parsed tree again gives the same text.
        EXPECT_EQ(text(xml), text(parsed.GetRootElement().GetXml()));
    }
}

TEST(XmlWriter, ControlCharactersXmlCannotCarryAreReplaced) {
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("Entry");
    root.AddAttribute("name", "a\x01z\tb");
    root.AppendChild(CCDATASection("c\x1f"));
    CXMLDoc parsed;
    CElementNode back = parseText(parsed, root.GetXml().c_str());
    EXPECT_EQ("a\xEF\xBF\xBDz\tb", text(back["name"].GetNodeValue()));
    EXPECT_EQ("c\xEF\xBF\xBD", text(back.GetNodeValue()));

    // Replacements and line ends next to each other, at both ends of the text.
    CXMLDoc mixedDoc;
    CElementNode mixed = mixedDoc.CreateRootElement("Param");
    mixed.AddAttribute("id", "\x02\r\n\x03");
    mixed.AppendChild(CCDATASection("\x01\r\x02\r\r\n\x1f\r"));
    EXPECT_EQ("\xEF\xBF\xBD\n\xEF\xBF\xBD\n\n\xEF\xBF\xBD\n", text(mixed.GetNodeValue()));
    CXMLDoc mixedParsed;
    CElementNode mixedBack = parseText(mixedParsed, mixed.GetXml().c_str());
    EXPECT_EQ("\xEF\xBF\xBD\r\n\xEF\xBF\xBD", text(mixedBack["id"].GetNodeValue()));
}

TEST(XmlWriter, CDataLineEndsAreLineFeedsBeforeAndAfterParsing) {
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("Param");
    root.AddAttribute("id", "a\r\nb");
    root.AppendChild(CCDATASection("x\r\ny\rz\n"));
    EXPECT_EQ("x\ny\nz\n", text(root.GetNodeValue()));
    CXMLDoc parsed;
    CElementNode back = parseText(parsed, root.GetXml().c_str());
    EXPECT_EQ("x\ny\nz\n", text(back.GetNodeValue()));
    EXPECT_EQ("a\r\nb", text(back["id"].GetNodeValue()));
    EXPECT_EQ(text(root.GetXml()), text(back.GetXml()));
}

// A carriage return given as a reference in text content is kept through a round trip, not
// written raw and read back as a line feed.
TEST(XmlWriter, CarriageReturnOfParsedTextSurvivesARoundTrip) {
    CXMLDoc doc;
    CElementNode root = parseText(doc, "<a x=\"&#13;\">1&#13;2&#13;\n3<b>&#xD;</b></a>");
    EXPECT_EQ("1\r2\r\n3", text(root.GetNodeValue()));
    const String written = root.GetXml();
    EXPECT_EQ("<a x=\"&#13;\">1&#13;2&#13;\n3<b>&#13;</b></a>", text(written));
    CXMLDoc again;
    CElementNode back = parseText(again, written.c_str());
    EXPECT_EQ("1\r2\r\n3", text(back.GetNodeValue()));
    EXPECT_EQ("\r", text(back("b").GetNodeValue()));
    EXPECT_EQ("\r", text(back["x"].GetNodeValue()));
    EXPECT_EQ(text(written), text(back.GetXml()));
}

TEST(XmlWriter, WhiteSpaceGivenAsReferencesReadsAsTheParserReadsPlainWhiteSpace) {
    // Plain white space between elements is no content; the same written as references must not
    // become content that the next parse drops again.
    CXMLDoc doc;
    CElementNode root = parseText(doc, "<a><b/>&#x20;&#9;<c/><d>&#32;</d><e> &#13;</e></a>");
    const String written = root.GetXml();
    EXPECT_EQ("<a><b/><c/><d/><e> &#13;</e></a>", text(written));
    CXMLDoc again;
    EXPECT_EQ(text(written), text(parseText(again, written.c_str()).GetXml()));
}

TEST(XmlWriter, ParsedActionMovesUnderANewRoot) {
    String action = actionXml("AddEntry", "E1", "Entry", "<Entry id=\"E1\"/>");
    CElementNode transact;
    {
        CXMLDoc actionDoc;
        CElementNode parsedAction = parseText(actionDoc, action.c_str());
        CXMLDoc transactDoc;
        transact = transactDoc.CreateRootElement("Kri_Transact");
        transact.AddAttribute("session", String(3UL));
        CElementNode moved = transact.AppendChild(parsedAction);
        EXPECT_EQ("Action", text(moved.GetNodeName()));
    }
    // Both documents are gone; the handle keeps the new tree.
    EXPECT_EQ("<Kri_Transact session=\"3\">" + text(action) + "</Kri_Transact>",
              text(transact.GetXml()));
    EXPECT_EQ("<Entry id=\"E1\"/>", text(transact("Action")("Params")("Param").GetNodeValue()));
}

TEST(XmlReader, AbsentItemsReadAsEmpty) {
    CXMLDoc doc;
    CElementNode root = parseText(doc,
                                  "<Config><AggrServer ip=\"127.0.0.1\">"
                                  "<SslCAFile>/etc/kri/ca.pem</SslCAFile></AggrServer></Config>");
    CElementNode server = root("AggrServer");
    EXPECT_EQ("127.0.0.1", text(server["ip"].GetNodeValue()));
    EXPECT_EQ("/etc/kri/ca.pem", text(server("SslCAFile").GetNodeValue()));
    EXPECT_TRUE(server["port"].IsEmpty());
    EXPECT_EQ("", text(server["port"].GetNodeValue()));
    EXPECT_EQ(0, server["port"].GetNodeValue().ToInt());
    EXPECT_EQ("", text(server("SslKeyFile").GetNodeValue()));
    EXPECT_EQ("", text(root("Studio")("Deeper")["id"].GetNodeValue()));
    EXPECT_EQ("", text(root("Studio").GetXml()));
    EXPECT_TRUE(CXMLDoc().GetRootElement().IsEmpty());
}

TEST(XmlReader, MalformedTextThrowsNamingTheOffset) {
    const char* broken[] = {
        "<a>",   "",         "   ", "<a/><b/>", "<a/>junk", "junk<a/>", "<a x='1' x='2'/>",
        "<1a/>", "<a b=c/>",
    };
    for (const char* xml : broken) {
        const std::string failure = parseFailure(xml);
        EXPECT_NE(std::string::npos, failure.find("offset")) << xml << ": " << failure;
        EXPECT_NE(std::string::npos, failure.find("memory text")) << xml << ": " << failure;
    }
}

TEST(XmlReader, ReferencesAreDecodedAndReadBackAfterWriting) {
    CXMLDoc doc;
    CElementNode root = parseText(doc,
                                  "<a b=\"&lt;&#x41;&#66;&amp;&quot;&apos;&gt;&#x1F600;\">"
                                  "&#233;&amp;&lt;<![CDATA[&foo; & b]]></a>");
    const std::string attribute = "<AB&\"'>\xF0\x9F\x98\x80";
    const std::string content = "\xC3\xA9&<&foo; & b";
    EXPECT_EQ(attribute, text(root["b"].GetNodeValue()));
    EXPECT_EQ(content, text(root.GetNodeValue()));
    CXMLDoc again;
    CElementNode back = parseText(again, root.GetXml().c_str());
    EXPECT_EQ(attribute, text(back["b"].GetNodeValue()));
    EXPECT_EQ(content, text(back.GetNodeValue()));
    EXPECT_EQ(text(root.GetXml()), text(back.GetXml()));
}

// An unknown entity, a bare '&' and a character XML 1.0 does not allow, given raw or as a
// reference: none of them could be written back as well-formed XML.
TEST(XmlReader, WhatXmlDoesNotAllowIsRefusedWithItsCause) {
    const std::pair<const char*, const char*> refused[] = {
        {"<a>&foo; & b</a>", "Undefined entity &foo;"},
        {"<a b=\"&foo;\"/>", "Undefined entity &foo;"},
        {"<a>x & b</a>", "'&' that starts no reference"},
        {"<a b=\"x&y\"/>", "'&' that starts no reference"},
        {"<a>&amp</a>", "'&' that starts no reference"},
        {"<a>&#;</a>", "'&' that starts no reference"},
        {"<a>&#1;</a>", "Character reference &#1; names a character that XML does not allow"},
        {"<a b=\"&#x1;\"/>", "Character reference &#x1;"},
        {"<a>&#xD800;</a>", "Character reference &#xD800;"},
        {"<a>&#99999999999;</a>", "Character reference &#99999999999;"},
        {"<a>\x01</a>", "Control character 0x01, which XML does not allow"},
        {"<a b=\"\x1f\"/>", "Control character 0x1F"},
        {"<a><![CDATA[\x02]]></a>", "Control character 0x02"},
    };
    for (const auto& [xml, cause] : refused) {
        const std::string failure = parseFailure(xml);
        EXPECT_NE(std::string::npos, failure.find(cause)) << xml << ": " << failure;
        EXPECT_NE(std::string::npos, failure.find("at offset")) << xml << ": " << failure;
    }
}

TEST(XmlReader, FileSourcesReadTheFileAndNameItWhenTheyCannot) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "kri-xml-test";
    std::filesystem::create_directories(dir);
    std::filesystem::path good = dir / "good.xml";
    std::filesystem::path bad = dir / "bad.xml";
    std::ofstream(good) << "<?xml version=\"1.0\"?>\n<Config>\n  <Studio id=\"7\"/>\n</Config>\n";
    std::ofstream(bad) << "<Config><Studio></Config>";

    CXMLDoc doc;
    CFileXMLSrc source;
    source.SetFilePath(good.c_str());
    doc.Parse(source);
    EXPECT_EQ("7", text(doc.GetRootElement()("Studio")["id"].GetNodeValue()));

    auto messageOf = [&](const std::filesystem::path& path) {
        source.SetFilePath(path.c_str());
        try {
            doc.Parse(source);
        } catch (const CXMLException& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    std::string missing = messageOf(dir / "missing.xml");
    EXPECT_NE(std::string::npos, missing.find((dir / "missing.xml").string())) << missing;
    EXPECT_NE(std::string::npos, missing.find("No such file")) << missing;
    std::string directory = messageOf(dir);
    EXPECT_NE(std::string::npos, directory.find("Unable to read")) << directory;
    // A FIFO without a writer is refused at once instead of waiting for one.
    const std::filesystem::path fifo = dir / "fifo.xml";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string fromFifo = messageOf(fifo);
    EXPECT_NE(std::string::npos, fromFifo.find("not a regular file")) << fromFifo;
    std::string malformed = messageOf(bad);
    EXPECT_NE(std::string::npos, malformed.find(bad.string())) << malformed;
    EXPECT_NE(std::string::npos, malformed.find("offset")) << malformed;
    // A failed parse leaves the document as it was.
    EXPECT_EQ("Config", text(doc.GetRootElement().GetNodeName()));
    std::filesystem::remove_all(dir);
}

TEST(XmlWriter, MisuseThrows) {
    CXMLDoc doc;
    EXPECT_THROW(CElementNode("two words"), CXMLException);
    EXPECT_THROW(CElementNode(""), CXMLException);
    EXPECT_THROW(doc.CreateRootElement("1st"), CXMLException);
    CElementNode root = doc.CreateRootElement("Root");
    EXPECT_THROW(root.AddAttribute("a=b", "x"), CXMLException);
    CElementNode absent = root("Nothing");
    EXPECT_THROW(absent.AddAttribute("id", "1"), CXMLException);
    EXPECT_THROW(absent.AppendChild(CElementNode("Child")), CXMLException);
    EXPECT_THROW(root.AppendChild(absent), CXMLException);
    EXPECT_EQ("<Root/>", text(root.GetXml()));
}

TEST(XmlReader, ChildElementsAreWalkedInDocumentOrder) {
    CXMLDoc doc;
    CElementNode root =
        parseText(doc, "<Root>text<A n=\"1\"/><!-- note --><B/><![CDATA[x]]><A n=\"2\"/></Root>");
    std::string walked;
    for (CElementNode child = root.GetFirstChild(); !child.IsEmpty();
         child = child.GetNextSibling()) {
        walked += text(child.GetNodeName()) + text(child["n"].GetNodeValue()) + ";";
    }
    EXPECT_EQ("A1;B;A2;", walked);
    EXPECT_TRUE(root("B").GetFirstChild().IsEmpty());
    EXPECT_TRUE(CElementNode().GetFirstChild().IsEmpty());
    EXPECT_TRUE(CElementNode().GetNextSibling().IsEmpty());
}

}  // namespace
