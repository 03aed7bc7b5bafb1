// Fuzz target for the XML classes. The input, as the zero-terminated text the classes take, is
// parsed from memory; a text that parses must survive a round trip: the root's XML text parses
// again, and writing that document gives the same text and the same element value. The same text
// is then held in a CDATA section and in an attribute of a built document, and both must read
// back unchanged after the document is written and parsed again. CXMLException from the first
// parse is the only exception allowed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "LibraryInterfaces/DomParse.h"
#include "Tests/fuzz/FuzzCheck.h"

namespace {

CElementNode parseRoot(CXMLDoc& document, const String& text) {
    CMemXMLSrc source;
    source.SetMemPtr(text);
    document.Parse(source);
    return document.GetRootElement();
}

// Parses text the XML classes wrote; failing to is a finding, not a refusal.
CElementNode reparseRoot(CXMLDoc& document, const String& written, const char* property) {
    try {
        CElementNode root = parseRoot(document, written);
        fuzzRequire(!root.IsEmpty(), property);
        return root;
    } catch (const CXMLException&) {
        fuzzRequire(false, property);
    }
    return CElementNode();
}

void checkRoundTrip(const String& text) {
    CXMLDoc document;
    CElementNode root;
    try {
        root = parseRoot(document, text);
    } catch (const CXMLException&) {
        return;
    }
    fuzzRequire(!root.IsEmpty(), "a parsed document has a root element");
    const String written = root.GetXml();
    CXMLDoc again;
    CElementNode rereadRoot = reparseRoot(again, written, "the written root parses again");
    fuzzRequire(rereadRoot.GetXml() == written, "writing a parsed document gives the same text");
    fuzzRequire(rereadRoot.GetNodeName() == root.GetNodeName(), "the root keeps its name");
    fuzzRequire(rereadRoot.GetNodeValue() == root.GetNodeValue(), "the root keeps its value");
}

void checkBuiltDocument(const String& text) {
    CXMLDoc built;
    CElementNode root = built.CreateRootElement("Fuzz");
    root.AddAttribute("value", text);
    const String heldInAttribute = root["value"].GetNodeValue();
    const CCDATASection section = root.AppendChild(CCDATASection(text));
    const String heldInSection = section.GetNodeValue();

    CXMLDoc reread;
    CElementNode rereadRoot = reparseRoot(reread, root.GetXml(), "a built document parses");
    fuzzRequire(rereadRoot["value"].GetNodeValue() == heldInAttribute,
                "an attribute value reads back unchanged");
    fuzzRequire(rereadRoot.GetNodeValue() == heldInSection, "a CDATA text reads back unchanged");
}

// Texts without carriage returns and without control characters other than tab and line feed
// are held exactly as given.
bool heldUnchanged(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 && c != '\t' && c != '\n') {
            return false;
        }
    }
    return true;
}

void checkSectionKeepsPlainText(const std::string& text) {
    if (heldUnchanged(text)) {
        fuzzRequire(CCDATASection(text.c_str()).GetNodeValue() == text.c_str(),
                    "a CDATA section holds plain text as given");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text(bytes.c_str());
    checkRoundTrip(text.c_str());
    checkBuiltDocument(text.c_str());
    checkSectionKeepsPlainText(text);
    return 0;
}
