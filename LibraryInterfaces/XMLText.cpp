#include "LibraryInterfaces/XMLText.h"

namespace xmltext {

namespace {

bool isNameStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool isNameChar(unsigned char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

}  // namespace

bool isName(const char* text) {
    if (text == nullptr || !isNameStart(static_cast<unsigned char>(*text))) {
        return false;
    }
    for (const char* p = text + 1; *p != '\0'; ++p) {
        if (!isNameChar(static_cast<unsigned char>(*p))) {
            return false;
        }
    }
    return true;
}

std::string carriable(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out += "\xEF\xBF\xBD";
        } else {
            out += *p;
        }
    }
    return out;
}

std::string carriableWithLineFeeds(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\r') {
            out += '\n';
            if (p[1] == '\n') {
                ++p;
            }
        } else {
            out += *p;
        }
    }
    return carriable(out.c_str());
}

}  // namespace xmltext
