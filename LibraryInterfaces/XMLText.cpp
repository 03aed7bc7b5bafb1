#include "LibraryInterfaces/XMLText.h"

namespace xmltext {

namespace {

// U+FFFD in UTF-8.
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Bytes 1 to 31 other than tab, line feed and carriage return.
bool isUncarriable(unsigned char c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

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

// Both copy the text in runs of characters that stay as they are, not one character at a time:
// every attribute and CDATA section of every transaction passes through here.
std::string carriable(const char* text) {
    std::string out;
    const char* p = text;
    while (*p != '\0') {
        const char* run = p;
        while (*p != '\0' && !isUncarriable(static_cast<unsigned char>(*p))) {
            ++p;
        }
        out.append(run, static_cast<size_t>(p - run));
        if (*p != '\0') {
            out += kReplacement;
            ++p;
        }
    }
    return out;
}

std::string carriableWithLineFeeds(const char* text) {
    std::string out;
    const char* p = text;
    while (*p != '\0') {
        const char* run = p;
        while (*p != '\0' && *p != '\r' && !isUncarriable(static_cast<unsigned char>(*p))) {
            ++p;
        }
        out.append(run, static_cast<size_t>(p - run));
        if (*p == '\r') {
            out += '\n';
            p += p[1] == '\n' ? 2 : 1;
        } else if (*p != '\0') {
            out += kReplacement;
            ++p;
        }
    }
    return out;
}

}  // namespace xmltext
