#include "Tools/AggrReceiver/TransactionCheck.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <pugixml.hpp>

namespace aggrreceiver {

namespace {

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// The node's only child must be the element `name`; returns it, or an empty node with `error`
// set.
pugi::xml_node onlyChildElement(pugi::xml_node parent, const char* name, std::string& error) {
    std::string where =
        parent.type() == pugi::node_document ? std::string("the document") : quoted(parent.name());
    pugi::xml_node child = parent.first_child();
    if (!child || child.next_sibling() || child.type() != pugi::node_element ||
        std::string_view(child.name()) != name) {
        error = where + " must hold exactly one element " + quoted(name) + " and nothing else";
        return {};
    }
    return child;
}

// The element's attributes must be exactly `names`, in that order; otherwise sets `error`.
bool hasAttributesInOrder(pugi::xml_node element, std::initializer_list<const char*> names,
                          std::string& error) {
    pugi::xml_attribute attribute = element.first_attribute();
    bool match = true;
    for (const char* name : names) {
        if (!attribute || std::string_view(attribute.name()) != name) {
            match = false;
            break;
        }
        attribute = attribute.next_attribute();
    }
    if (match && !attribute) {
        return true;
    }
    std::string expected;
    for (const char* name : names) {
        expected += expected.empty() ? quoted(name) : " then " + quoted(name);
    }
    error =
        quoted(element.name()) + " must have " +
        (names.size() == 0 ? std::string("no attributes") : "exactly the attributes " + expected);
    return false;
}

bool isUnsigned32(std::string_view text) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    return std::stoull(std::string(text)) <= UINT32_MAX;
}

// Fills `info` from the parsed tree; returns the first fault found, or an empty text.
std::string readTree(const pugi::xml_document& document, TransactionInfo& info) {
    std::string error;
    pugi::xml_node root = onlyChildElement(document, "Kri_Transact", error);
    if (!root || !hasAttributesInOrder(root, {"session"}, error)) {
        return error;
    }
    info.session = root.attribute("session").value();
    if (!isUnsigned32(info.session)) {
        return "session " + quoted(info.session) + " is not an unsigned 32-bit decimal number";
    }

    pugi::xml_node action = onlyChildElement(root, "Action", error);
    if (!action || !hasAttributesInOrder(action, {"name"}, error)) {
        return error;
    }
    info.action = action.attribute("name").value();
    if (std::find(kActionNames.begin(), kActionNames.end(), info.action) == kActionNames.end()) {
        return "unknown action " + quoted(info.action);
    }

    pugi::xml_node params = onlyChildElement(action, "Params", error);
    if (!params || !hasAttributesInOrder(params, {}, error)) {
        return error;
    }
    pugi::xml_node param = onlyChildElement(params, "Param", error);
    if (!param || !hasAttributesInOrder(param, {"id", "name"}, error)) {
        return error;
    }
    info.paramId = param.attribute("id").value();
    info.paramName = param.attribute("name").value();

    if (!param.first_child()) {
        return "\"Param\" holds no CDATA section";
    }
    for (pugi::xml_node section : param.children()) {
        if (section.type() != pugi::node_cdata) {
            return "\"Param\" must hold only its CDATA payload";
        }
        info.payload += section.value();
    }
    return {};
}

}  // namespace

CheckedTransaction checkTransaction(std::string_view frame) {
    CheckedTransaction checked;
    if (frame.find('\0') != std::string_view::npos) {
        checked.error = "the text contains a zero byte";
        return checked;
    }
    pugi::xml_document document;
    // Line ends are kept as sent so that the payload size is the size on the wire.
    pugi::xml_parse_result parsed = document.load_buffer(
        frame.data(), frame.size(), pugi::parse_default & ~pugi::parse_eol, pugi::encoding_utf8);
    if (!parsed) {
        checked.error = std::string("not well-formed XML: ") + parsed.description() + " at byte " +
                        std::to_string(parsed.offset);
        return checked;
    }
    checked.error = readTree(document, checked.info);
    return checked;
}

}  // namespace aggrreceiver
