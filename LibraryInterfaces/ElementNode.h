// CElementNode: a handle on one XML element: a new element made on its own, the root of a
// CXMLDoc, or an element found or appended in a tree.
//
// Shares ownership of its document like CBaseNode. Lookups of absent children or attributes give
// empty handles; building on an empty handle throws CXMLException. Used by one thread at a time
// per document.
//
// Text form written by GetXml: the element and its subtree with no XML declaration, no
// indentation and no line breaks between nodes; attributes in the order they were added, in
// double quotes, with &, <, " and tab, line feed and carriage return as references; &, <, > and
// carriage return of text content as references; an element without children as "<name/>"; CDATA sections as
// "<![CDATA[...]]>". Parsing that text and writing it again gives the same text.
#pragma once

#include "LibraryInterfaces/AttributeNode.h"
#include "LibraryInterfaces/BaseNode.h"
#include "LibraryInterfaces/CDATASection.h"

class CElementNode : public CBaseNode {
public:
    // An empty handle.
    CElementNode() = default;
    // A new element with that name, in no tree yet. Throws CXMLException when the name is not an
    // XML name.
    explicit CElementNode(const String& name);

    // The first child element with that name, or an empty handle.
    CElementNode operator()(const char* name) const;
    // The attribute with that name, or an empty handle.
    CAttributeNode operator[](const char* name) const;
    // The first child element of any name, or an empty handle. With GetNextSibling it walks an
    // element's child elements in document order.
    CElementNode GetFirstChild() const;
    // The next element under the same parent, or an empty handle after the last one.
    CElementNode GetNextSibling() const;

    // Appends an attribute after those already present. Adding a name that is already present
    // replaces that attribute's value in its place, since an element cannot carry a name twice.
    // Throws CXMLException when the name is not an XML name; control characters in the value
    // that XML cannot carry become U+FFFD.
    void AddAttribute(const String& name, const String& value);

    // Appends a copy of the child (and its subtree) as the last child of this element, whichever
    // document the child belongs to, and returns the copy as it stands in this tree: build on the
    // returned handle, not on the original. Throws CXMLException when either handle is empty.
    CElementNode AppendChild(const CElementNode& child);
    CCDATASection AppendChild(const CCDATASection& child);

    // The element and its subtree as XML text (format above); empty for an empty handle.
    String GetXml() const;

private:
    CElementNode(std::shared_ptr<pugi::xml_document> owner, pugi::xml_node_struct* node)
        : CBaseNode(std::move(owner), node) {}
    pugi::xml_node_struct* appendCopy(const CBaseNode& child, const char* operation);

    friend class CXMLDoc;
};
