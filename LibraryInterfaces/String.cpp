#include "LibraryInterfaces/String.h"

#include <cctype>
#include <cstring>
#include <limits>

String::String(const char* text) : text(text != nullptr ? text : "") {}
String::String(int value) : text(std::to_string(value)) {}
String::String(unsigned int value) : text(std::to_string(value)) {}
String::String(long value) : text(std::to_string(value)) {}
String::String(unsigned long value) : text(std::to_string(value)) {}

int String::Compare(const char* other) const {
    return std::strcmp(text.c_str(), other != nullptr ? other : "");
}

int32_t String::ToInt() const {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // Accumulated as a magnitude so that the smallest 32-bit value can be read without overflow.
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
