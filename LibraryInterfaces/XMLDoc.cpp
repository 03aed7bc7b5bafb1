#include "LibraryInterfaces/XMLDoc.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "LibraryInterfaces/XMLException.h"
#include "LibraryInterfaces/XMLText.h"
#include "Platform/Com.h"

namespace {

[[noreturn]] void throwMalformed(const std::string& cause, ptrdiff_t offset,
                                 const CXMLSrc& source) {
    throw CXMLException("CXMLDoc::Parse(): " + cause + " at offset " + std::to_string(offset) +
                        " of " + source.Describe() + ".");
}

// Whether an element gives an attribute twice; linear in its number of attributes.
bool hasRepeatedAttribute(pugi::xml_node element, std::unordered_set<std::string_view>& seen) {
    seen.clear();
    for (pugi::xml_attribute attribute : element.attributes()) {
        if (!seen.insert(attribute.name()).second) {
            return true;
        }
    }
    return false;
}

// The first element that gives an attribute twice or lies deeper than CXMLDoc::kMaxDepth. The
// walk is the library's own, which keeps no stack of ours.
class StructureCheck : public pugi::xml_tree_walker {
public:
    bool for_each(pugi::xml_node& node) override {
        if (node.type() != pugi::node_element) {
            return true;
        }
        // depth() counts from 0 for the root element's level.
        if (depth() + 1 > CXMLDoc::kMaxDepth) {
            tooDeep = node;
        } else if (hasRepeatedAttribute(node, seen)) {
            repeated = node;
        }
        return !tooDeep && !repeated;
    }
    pugi::xml_node tooDeep;
    pugi::xml_node repeated;

private:
    std::unordered_set<std::string_view> seen;
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
    StructureCheck check;
    tree.traverse(check);
    if (check.tooDeep) {
        throwMalformed("Elements nested more than " + std::to_string(CXMLDoc::kMaxDepth) + " deep",
                       check.tooDeep.offset_debug(), source);
    }
    if (check.repeated) {
        throwMalformed("Attribute given twice", check.repeated.offset_debug(), source);
    }
}

// What an entity's name may be made of here (the five that XML defines are ASCII).
constexpr char kNameCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:";

bool isXmlCharacter(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Bytes 0 to 31 other than tab, line feed and carriage return: characters that XML does not
// allow even when written out in a document.
bool isForbiddenControl(unsigned char c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

[[noreturn]] void refuseControl(char c, ptrdiff_t offset, const CXMLSrc& source) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X",
                  static_cast<unsigned>(static_cast<unsigned char>(c)));
    throwMalformed(std::string("Control character ") + code + ", which XML does not allow", offset,
                   source);
}

void appendUtf8(std::string& out, uint32_t c) {
    const char16_t units[2] = {
        static_cast<char16_t>(c < 0x10000 ? c : 0xD800 + ((c - 0x10000) >> 10)),
        static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
    out += platform::utf16ToUtf8(units, c < 0x10000 ? 1 : 2);
}

// The number of a character reference's digits, which end at `end`; above 0x10FFFF it is
// 0x110000, so that a long run of digits cannot overflow.
uint32_t referenceNumber(const char* digits, const char* end, int base) {
    uint32_t number = 0;
    for (const char* p = digits; p < end; ++p) {
        const char c = *p;
        const uint32_t digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        number = std::min<uint32_t>(number * base + digit, 0x110000);
    }
    return number;
}

// The parser is run without its own reference handling, which lets an unknown entity or a bare
// '&' through as plain text. This does that work: it replaces each reference of `raw` (a text
// or attribute value as the parser left it) with the character it names, and refuses what a
// well-formed document cannot hold. `offset` locates the value in the source for the message.
std::string decodedText(const char* raw, ptrdiff_t offset, const CXMLSrc& source) {
    static const char* const kEntities[][2] = {
        {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"apos", "'"}, {"quot", "\""}};
    std::string out;
    for (const char* p = raw; *p != '\0';) {
        if (isForbiddenControl(static_cast<unsigned char>(*p))) {
            refuseControl(*p, offset, source);
        }
        if (*p != '&') {
            out += *p++;
            continue;
        }
        const char* semicolon = std::strchr(p, ';');
        const bool numeric = p[1] == '#';
        const bool hex = numeric && p[2] == 'x';
        const char* body = p + 1 + (numeric ? 1 : 0) + (hex ? 1 : 0);
        const char* bodyEnd = body + std::strspn(body, hex       ? "0123456789abcdefABCDEF"
                                                       : numeric ? "0123456789"
                                                                 : kNameCharacters);
        if (semicolon == nullptr || bodyEnd != semicolon || body == bodyEnd) {
            throwMalformed("'&' that starts no reference (the character is written \"&amp;\")",
                           offset, source);
        }
        const std::string reference(p, static_cast<size_t>(semicolon + 1 - p));
        if (numeric) {
            const uint32_t c = referenceNumber(body, bodyEnd, hex ? 16 : 10);
            if (!isXmlCharacter(c)) {
                throwMalformed("Character reference " + reference +
                                   " names a character that XML does not allow",
                               offset, source);
            }
            appendUtf8(out, c);
        } else {
            const std::string name(body, bodyEnd);
            const auto* entity = std::find_if(std::begin(kEntities), std::end(kEntities),
                                              [&](const auto& e) { return name == e[0]; });
            if (entity == std::end(kEntities)) {
                throwMalformed("Undefined entity " + reference, offset, source);
            }
            out += (*entity)[1];
        }
        p = semicolon + 1;
    }
    return out;
}

bool needsDecoding(const char* raw) {
    for (const char* p = raw; *p != '\0'; ++p) {
        if (*p == '&' || isForbiddenControl(static_cast<unsigned char>(*p))) {
            return true;
        }
    }
    return false;
}

// Decodes the references of every text and attribute value and checks CDATA sections for
// characters that XML does not allow. Iterative, so that deep nesting cannot exhaust the stack.
class ReferenceDecoder : public pugi::xml_tree_walker {
public:
    explicit ReferenceDecoder(const CXMLSrc& source) : source(source) {}

    bool for_each(pugi::xml_node& node) override {
        const ptrdiff_t offset = node.offset_debug();
        if (node.type() == pugi::node_pcdata && needsDecoding(node.value())) {
            node.set_value(decodedText(node.value(), offset, source).c_str());
        }
        if (node.type() == pugi::node_cdata) {
            // A section holds no references: only its characters are checked.
            for (const char* p = node.value(); *p != '\0'; ++p) {
                if (isForbiddenControl(static_cast<unsigned char>(*p))) {
                    refuseControl(*p, offset, source);
                }
            }
        }
        for (pugi::xml_attribute attribute : node.attributes()) {
            if (needsDecoding(attribute.value())) {
                attribute.set_value(decodedText(attribute.value(), offset, source).c_str());
            }
        }
        return true;
    }

private:
    const CXMLSrc& source;
};

// Blanks, tabs and line feeds only: what the writer puts out as plain white space. (It writes a
// carriage return as "&#13;", which the parser keeps.)
bool isPlainWhiteSpace(const char* text) {
    return text[std::strspn(text, " \t\n")] == '\0';
}

// The parser drops text that is only white space, but keeps it when it was written as character
// references ("&#32;"). Such text would be written out as plain white space and then dropped by
// the next parse, so a document would not read back as it was written. It is dropped here too.
class BlankTextCollector : public pugi::xml_tree_walker {
public:
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_pcdata && node.parent().type() == pugi::node_element &&
            isPlainWhiteSpace(node.value())) {
            blanks.push_back(node);
        }
        return true;
    }
    std::vector<pugi::xml_node> blanks;
};

void dropBlankText(pugi::xml_node root) {
    BlankTextCollector collector;
    root.traverse(collector);
    for (pugi::xml_node blank : collector.blanks) {
        blank.parent().remove_child(blank);
    }
}

}  // namespace

CXMLDoc::CXMLDoc() : tree(std::make_shared<pugi::xml_document>()) {}

void CXMLDoc::Parse(const CXMLSrc& source) {
    std::string text = source.ReadAll();
    if (text.size() > CXMLSrc::kMaxTextBytes) {
        throw CXMLException("CXMLDoc::Parse(): " + source.Describe() + " is longer than the " +
                            std::to_string(CXMLSrc::kMaxTextBytes) + " bytes a document may have.");
    }
    auto parsed = std::make_shared<pugi::xml_document>();
    // Fragment mode keeps top-level text and extra elements as nodes, so that the check below
    // sees them instead of the parser dropping them silently.
    // References are decoded by ReferenceDecoder, which also refuses the ones the parser lets
    // through.
    constexpr unsigned kOptions =
        (pugi::parse_default | pugi::parse_fragment) & ~pugi::parse_escapes;
    pugi::xml_parse_result result =
        parsed->load_buffer(text.data(), text.size(), kOptions, pugi::encoding_auto);
    if (!result) {
        throwMalformed(result.description(), result.offset, source);
    }
    requireWellFormed(*parsed, source);
    ReferenceDecoder decoder(source);
    parsed->traverse(decoder);
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
