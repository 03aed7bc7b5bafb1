// CAttributeNode: a handle on one attribute of an element, as CElementNode::operator[] gives it.
//
// Shares ownership of its document like CBaseNode. An empty handle (an absent attribute) has an
// empty name and an empty value.
#pragma once

#include <memory>

#include "LibraryInterfaces/String.h"

namespace pugi {
class xml_document;
struct xml_attribute_struct;
}  // namespace pugi

class CAttributeNode {
public:
    CAttributeNode() = default;

    String GetNodeName() const;
    String GetNodeValue() const;
    bool IsEmpty() const { return attribute == nullptr; }

private:
    CAttributeNode(std::shared_ptr<pugi::xml_document> owner, pugi::xml_attribute_struct* attribute)
        : owner(std::move(owner)), attribute(attribute) {}

    std::shared_ptr<pugi::xml_document> owner;
    pugi::xml_attribute_struct* attribute = nullptr;

    friend class CElementNode;
};
