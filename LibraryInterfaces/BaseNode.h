// CBaseNode: a handle on one node of an XML document, the common base of CElementNode and
// CCDATASection.
//
// A handle shares ownership of its document, so a node stays valid as long as any handle on it
// or on its document exists. Copying a handle copies the handle, not the node. An empty handle
// (what a lookup of an absent child gives) has an empty name and an empty value. Handles on the
// same document are used by one thread at a time.
#pragma once

#include <memory>

#include "LibraryInterfaces/String.h"

namespace pugi {
class xml_document;
struct xml_node_struct;
}  // namespace pugi

class CBaseNode {
public:
    // The element's tag name; empty for a CDATA section and for an empty handle.
    String GetNodeName() const;
    // For an element, the text of its text and CDATA children in document order (a CDATA section
    // split on reading comes back whole); for a CDATA section, its text; empty for an empty handle.
    String GetNodeValue() const;
    bool IsEmpty() const { return node == nullptr; }

protected:
    CBaseNode() = default;
    CBaseNode(std::shared_ptr<pugi::xml_document> owner, pugi::xml_node_struct* node)
        : owner(std::move(owner)), node(node) {}

    std::shared_ptr<pugi::xml_document> owner;
    pugi::xml_node_struct* node = nullptr;

    friend class CElementNode;
};
