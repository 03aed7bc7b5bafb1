#include "LibraryInterfaces/XMLDoc.h"

#include <pugixml.hpp>

#include <cstring>
#include <string>

#include "LibraryInterfaces/XMLException.h"
#include "LibraryInterfaces/XMLText.h"

namespace {

[[noreturn]] void throwMalformed(const std::string& cause, ptrdiff_t offset,
                                 const CXMLSrc& source) {
    throw CXMLException("CXMLDoc::Parse(): " + cause + " at offset " + std::to_string(offset) +
                        " of " + source.Describe() + ".");
}

bool hasRepeatedAttribute(pugi::xml_node element) {
    for (pugi::xml_attribute a : element.attributes()) {
        for (pugi::xml_attribute b = a.next_attribute(); b; b = b.next_attribute()) {
            if (std::strcmp(a.name(), b.name()) == 0) {
                return true;
            }
        }
    }
    return false;
}

class RepeatedAttributeFinder : public pugi::xml_tree_walker {
public:
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && hasRepeatedAttribute(node)) {
            offender = node;
            return false;
        }
        return true;
    }
    pugi::xml_node offender;
};

// pugixml accepts some texts that are not one well-formed document: several top-level elements,
// text outside the root, an attribute given twice. Those are refused here.
void requireWellFormed(pugi::xml_document& tree, const CXMLSrc& source) {
    int roots = 0;
    for (pugi::xml_node top : tree.children()) {
        if (top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) {
            throwMalformed("Text outside the root element", top.offset_debug(), source);
        }
        if (top.type() == pugi::node_element && ++roots > 1) {
            throwMalformed("More than one root element", top.offset_debug(), source);
        }
    }
    if (roots == 0) {
        throwMalformed("No document element found", 0, source);
    }
    RepeatedAttributeFinder finder;
    tree.traverse(finder);
    if (finder.offender) {
        throwMalformed("Attribute given twice", finder.offender.offset_debug(), source);
    }
}

// Blanks, tabs and line feeds only: what the writer puts out as plain white space. (It writes a
// carriage return as "&#13;", which the parser keeps.)
bool isPlainWhiteSpace(const char* text) {
    return text[std::strspn(text, " \t\n")] == '\0';
}

// The parser drops text that is only white space, but keeps it when it was written as character
// references ("&#32;"). Such text would be written out as plain white space and then dropped by
// the next parse, so a document would not read back as it was written. It is dropped here too.
void dropBlankText(pugi::xml_node node) {
    for (pugi::xml_node child = node.first_child(); child;) {
        pugi::xml_node following = child.next_sibling();
        if (child.type() == pugi::node_pcdata && isPlainWhiteSpace(child.value())) {
            node.remove_child(child);
        } else if (child.type() == pugi::node_element) {
            dropBlankText(child);
        }
        child = following;
    }
}

}  // namespace

CXMLDoc::CXMLDoc() : tree(std::make_shared<pugi::xml_document>()) {}

void CXMLDoc::Parse(const CXMLSrc& source) {
    std::string text = source.ReadAll();
    auto parsed = std::make_shared<pugi::xml_document>();
    // Fragment mode keeps top-level text and extra elements as nodes, so that the check below
    // sees them instead of the parser dropping them silently.
    pugi::xml_parse_result result = parsed->load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_auto);
    if (!result) {
        throwMalformed(result.description(), result.offset, source);
    }
    requireWellFormed(*parsed, source);
    dropBlankText(parsed->document_element());
    tree = std::move(parsed);
}

CElementNode CXMLDoc::GetRootElement() const {
    pugi::xml_node root = tree->document_element();
    return root ? CElementNode(tree, root.internal_object()) : CElementNode();
}

CElementNode CXMLDoc::CreateRootElement(const String& name) {
    if (!xmltext::isName(name.c_str())) {
        throw CXMLException(std::string("CXMLDoc::CreateRootElement(): '") + name.c_str() +
                            "' is not an XML name.");
    }
    auto fresh = std::make_shared<pugi::xml_document>();
    pugi::xml_node root = fresh->append_child(name.c_str());
    tree = std::move(fresh);
    return CElementNode(tree, root.internal_object());
}
