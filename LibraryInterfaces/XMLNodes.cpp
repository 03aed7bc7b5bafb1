#include <pugixml.hpp>

#include <string>

#include "LibraryInterfaces/AttributeNode.h"
#include "LibraryInterfaces/BaseNode.h"
#include "LibraryInterfaces/CDATASection.h"
#include "LibraryInterfaces/ElementNode.h"
#include "LibraryInterfaces/XMLException.h"
#include "LibraryInterfaces/XMLText.h"

namespace {

void requireName(const String& name, const char* operation) {
    if (!xmltext::isName(name.c_str())) {
        throw CXMLException(std::string(operation) + ": '" + name.c_str() +
                            "' is not an XML name.");
    }
}

// A fresh document holding one node of the given type, for nodes made outside any tree.
std::shared_ptr<pugi::xml_document> standaloneTree(pugi::xml_node_type type, pugi::xml_node& made) {
    auto tree = std::make_shared<pugi::xml_document>();
    made = tree->append_child(type);
    return tree;
}

class StringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        text.append(static_cast<const char*>(data), size);
    }
    std::string text;
};

// The writer leaves a carriage return of text content as it is, and a reader would turn it into
// a line feed. Only text content can hold one here: the writer escapes attribute values itself,
// names cannot hold one, and CDATA sections hold none (the reader turns line ends into line
// feeds, CCDATASection does the same). So every raw carriage return of the written text stands
// for one in text content, where "&#13;" reads back as the same character.
std::string withCarriageReturnsAsReferences(const std::string& written) {
    std::string text;
    text.reserve(written.size());
    for (char c : written) {
        if (c == '\r') {
            text += "&#13;";
        } else {
            text += c;
        }
    }
    return text;
}

pugi::xml_node elementFrom(pugi::xml_node candidate) {
    while (candidate && candidate.type() != pugi::node_element) {
        candidate = candidate.next_sibling();
    }
    return candidate;
}

}  // namespace

String CBaseNode::GetNodeName() const {
    pugi::xml_node self(node);
    return self.type() == pugi::node_element ? String(self.name()) : String();
}

String CBaseNode::GetNodeValue() const {
    pugi::xml_node self(node);
    if (self.type() == pugi::node_cdata) {
        return self.value();
    }
    std::string text;
    for (pugi::xml_node child : self.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            text += child.value();
        }
    }
    return text.c_str();
}

String CAttributeNode::GetNodeName() const {
    return pugi::xml_attribute(attribute).name();
}

String CAttributeNode::GetNodeValue() const {
    return pugi::xml_attribute(attribute).value();
}

CCDATASection::CCDATASection(const String& text) {
    pugi::xml_node made;
    owner = standaloneTree(pugi::node_cdata, made);
    made.set_value(xmltext::carriableWithLineFeeds(text.c_str()).c_str());
    node = made.internal_object();
}

CElementNode::CElementNode(const String& name) {
    requireName(name, "CElementNode::CElementNode()");
    pugi::xml_node made;
    owner = standaloneTree(pugi::node_element, made);
    made.set_name(name.c_str());
    node = made.internal_object();
}

CElementNode CElementNode::operator()(const char* name) const {
    pugi::xml_node found = pugi::xml_node(node).child(name != nullptr ? name : "");
    return found ? CElementNode(owner, found.internal_object()) : CElementNode();
}

CAttributeNode CElementNode::operator[](const char* name) const {
    pugi::xml_attribute found = pugi::xml_node(node).attribute(name != nullptr ? name : "");
    return found ? CAttributeNode(owner, found.internal_object()) : CAttributeNode();
}

CElementNode CElementNode::GetFirstChild() const {
    pugi::xml_node found = elementFrom(pugi::xml_node(node).first_child());
    return found ? CElementNode(owner, found.internal_object()) : CElementNode();
}

CElementNode CElementNode::GetNextSibling() const {
    pugi::xml_node found = elementFrom(pugi::xml_node(node).next_sibling());
    return found ? CElementNode(owner, found.internal_object()) : CElementNode();
}

void CElementNode::AddAttribute(const String& name, const String& value) {
    if (node == nullptr) {
        throw CXMLException("CElementNode::AddAttribute(): Empty element node.");
    }
    requireName(name, "CElementNode::AddAttribute()");
    pugi::xml_node self(node);
    pugi::xml_attribute attribute = self.attribute(name.c_str());
    if (!attribute) {
        attribute = self.append_attribute(name.c_str());
    }
    attribute.set_value(xmltext::carriable(value.c_str()).c_str());
}

pugi::xml_node_struct* CElementNode::appendCopy(const CBaseNode& child, const char* operation) {
    if (node == nullptr || child.node == nullptr) {
        throw CXMLException(std::string(operation) + ": Empty node.");
    }
    return pugi::xml_node(node).append_copy(pugi::xml_node(child.node)).internal_object();
}

CElementNode CElementNode::AppendChild(const CElementNode& child) {
    return CElementNode(owner, appendCopy(child, "CElementNode::AppendChild()"));
}

CCDATASection CElementNode::AppendChild(const CCDATASection& child) {
    return CCDATASection(owner, appendCopy(child, "CElementNode::AppendChild()"));
}

String CElementNode::GetXml() const {
    if (node == nullptr) {
        return String();
    }
    StringWriter writer;
    pugi::xml_node(node).print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    return withCarriageReturnsAsReferences(writer.text).c_str();
}
