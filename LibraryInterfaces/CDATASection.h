// CCDATASection: a CDATA node holding a text unchanged, made on its own and then appended to an
// element with CElementNode::AppendChild.
//
// Any text can be held: when it contains "]]>", the writer splits it over consecutive CDATA
// sections, which every XML reader joins back into the original text. Control characters that
// XML 1.0 cannot carry at all (bytes 1 to 31 other than tab, line feed and carriage return) are
// replaced by U+FFFD so that the document always parses. Line ends are held as line feeds (CR LF
// and a lone CR become LF), as every XML reader would read them back, so that a document built
// here and one parsed from its text are the same.
#pragma once

#include "LibraryInterfaces/BaseNode.h"

class CCDATASection : public CBaseNode {
public:
    explicit CCDATASection(const String& text);

private:
    CCDATASection(std::shared_ptr<pugi::xml_document> owner, pugi::xml_node_struct* node)
        : CBaseNode(std::move(owner), node) {}

    friend class CElementNode;
};
