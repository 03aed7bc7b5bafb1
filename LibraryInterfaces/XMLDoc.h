// CXMLDoc: one XML document, either parsed from a CXMLSrc or built from a new root element.
//
// The document's owner uses it on one thread at a time. Node handles share ownership of the
// document's tree: destroying the CXMLDoc frees the tree once the last handle on it is gone.
// Parsing or creating a root starts a fresh tree, so handles on the previous tree stay valid and
// keep showing it.
#pragma once

#include <memory>

#include "LibraryInterfaces/ElementNode.h"
#include "LibraryInterfaces/XMLSrc.h"

class CXMLDoc {
public:
    // An empty document: no root element.
    CXMLDoc();
    CXMLDoc(const CXMLDoc&) = delete;
    CXMLDoc& operator=(const CXMLDoc&) = delete;

    // Elements may lie this many levels deep, the root element being the first: far more than
    // any document of the system has, few enough that no walk over a tree can run out of stack.
    static constexpr int kMaxDepth = 256;

    // Reads the whole document from the source. Throws CXMLException when the source cannot be
    // read, holds more than CXMLSrc::kMaxTextBytes, has elements deeper than kMaxDepth, or its
    // text is not one well-formed XML document (one root element, no text outside it,
    // no attribute given twice, no '&' but in one of the five predefined entities or a character
    // reference, no character that XML 1.0 does not allow, raw or referenced); the message names
    // the source and the offset of the fault.
    void Parse(const CXMLSrc& source);
    // The root element; an empty handle when the document has none.
    CElementNode GetRootElement() const;
    // Starts a new tree whose root element has that name and returns it. Throws CXMLException
    // when the name is not an XML name.
    CElementNode CreateRootElement(const String& name);

private:
    std::shared_ptr<pugi::xml_document> tree;
};
