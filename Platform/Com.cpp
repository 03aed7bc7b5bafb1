#include <cstdint>
#include <cstdio>

#include "Platform/Com.h"

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (cp >> 10));
        out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    }
}

// How many continuation bytes follow a lead byte, and the range the first of them must lie in
// so that the sequence is neither overlong, a surrogate, nor beyond U+10FFFF. False for a byte
// that cannot start a sequence.
struct LeadByte {
    int continuations;
    unsigned char firstLow;
    unsigned char firstHigh;
    char32_t bits;
};

bool classifyLead(unsigned char lead, LeadByte& out) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        out = {1, 0x80, 0xBF, lead & 0x1Fu};
    } else if (lead == 0xE0) {
        out = {2, 0xA0, 0xBF, lead & 0x0Fu};
    } else if (lead == 0xED) {
        out = {2, 0x80, 0x9F, lead & 0x0Fu};
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        out = {2, 0x80, 0xBF, lead & 0x0Fu};
    } else if (lead == 0xF0) {
        out = {3, 0x90, 0xBF, lead & 0x07u};
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        out = {3, 0x80, 0xBF, lead & 0x07u};
    } else if (lead == 0xF4) {
        out = {3, 0x80, 0x8F, lead & 0x07u};
    } else {
        return false;
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads digits hex digits starting at text[pos]; false if any of them is not a hex digit.
bool readHex(std::string_view text, std::size_t pos, int digits, uint32_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = hexValue(text[pos + i]);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

std::string utf16ToUtf8(const char16_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t unit = text[i];
        if (isHighSurrogate(unit) && i + 1 < length && isLowSurrogate(text[i + 1])) {
            const char32_t high = unit - 0xD800u;
            const char32_t low = text[++i] - 0xDC00u;
            appendUtf8(out, 0x10000 + (high << 10) + low);
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

std::string bstrToUtf8(BSTR text) {
    return utf16ToUtf8(text, SysStringLen(text));
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            continue;
        }
        LeadByte shape;
        if (!classifyLead(lead, shape)) {
            out += static_cast<char16_t>(kReplacement);
            continue;
        }
        // A sequence cut short is replaced as a whole; the byte that cut it is read afresh.
        char32_t cp = shape.bits;
        unsigned char low = shape.firstLow;
        unsigned char high = shape.firstHigh;
        bool complete = true;
        for (int k = 0; k < shape.continuations; ++k) {
            if (i >= text.size()) {
                complete = false;
                break;
            }
            const auto next = static_cast<unsigned char>(text[i]);
            if (next < low || next > high) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (next & 0x3Fu);
            ++i;
            low = 0x80;
            high = 0xBF;
        }
        appendUtf16(out, complete ? cp : kReplacement);
    }
    return out;
}

BSTR bstrFromUtf8(std::string_view text) {
    const std::u16string wide = utf8ToUtf16(text);
    // SysAllocStringLen refuses what does not fit; a size beyond 32 bits must not reach it cut.
    if (wide.size() > UINT32_MAX) {
        return nullptr;
    }
    return SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
}

HRESULT guidFromString(std::string_view text, GUID& out) {
    constexpr std::size_t kLength = 38;
    if (text.size() != kLength || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return E_INVALIDARG;
    }
    GUID guid{};
    uint32_t value = 0;
    if (!readHex(text, 1, 8, value)) {
        return E_INVALIDARG;
    }
    guid.Data1 = value;
    if (!readHex(text, 10, 4, value)) {
        return E_INVALIDARG;
    }
    guid.Data2 = static_cast<uint16_t>(value);
    if (!readHex(text, 15, 4, value)) {
        return E_INVALIDARG;
    }
    guid.Data3 = static_cast<uint16_t>(value);
    // Data4: two bytes before the last hyphen, six after it.
    constexpr std::size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!readHex(text, kBytePositions[i], 2, value)) {
            return E_INVALIDARG;
        }
        guid.Data4[i] = static_cast<uint8_t>(value);
    }
    out = guid;
    return S_OK;
}

std::string guidToString(const GUID& guid) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace platform
