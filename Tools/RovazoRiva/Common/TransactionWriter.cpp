#include "Tools/RovazoRiva/Common/TransactionWriter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string_view>

namespace transactionwriter {

namespace {

// U+FFFD in UTF-8: stands for a control character that XML 1.0 cannot carry.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kCdataSplit = "]]]]><![CDATA[>";

// Room a text's writer asks for beyond the bytes it has still to read: its longest replacement
// (the CDATA split), which stands for at least one byte read.
constexpr size_t kSlack = kCdataSplit.size();

// Plain bytes are scanned a word at a time. In the flags below, each byte's top bit marks a byte
// of the word that matches; the lowest marked byte is always a true match, while marks above it
// may be false (a borrow runs on from the matching byte), so only the lowest one is used.
constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kTopBits = 0x8080808080808080u;

// Marks the bytes below `limit`. Requires: limit <= 0x80.
constexpr uint64_t bytesBelow(uint64_t word, unsigned char limit) {
    return (word - kOnes * limit) & ~word & kTopBits;
}

constexpr uint64_t bytesEqualTo(uint64_t word, unsigned char value) {
    return bytesBelow(word ^ (kOnes * value), 1);
}

// The 8 bytes at p as a word whose least significant byte is p[0], so that the lowest mark is
// the first match in the text.
uint64_t loadWord(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

// Bytes that an attribute value writes as they are: anything but control characters, '&', '<'
// and '"'.
struct AttributeBytes {
    static uint64_t special(uint64_t word) {
        return bytesBelow(word, 0x20) | bytesEqualTo(word, '&') | bytesEqualTo(word, '<') |
               bytesEqualTo(word, '"');
    }
    static bool plain(unsigned char c) { return c >= 0x20 && c != '&' && c != '<' && c != '"'; }
};

// Bytes that a CDATA section surely writes as they are. A ']' only may start a "]]>", and tab
// and line feed pass unchanged; the caller looks at those one at a time.
struct CdataBytes {
    static uint64_t special(uint64_t word) {
        return bytesBelow(word, 0x20) | bytesEqualTo(word, ']');
    }
    static bool plain(unsigned char c) { return c >= 0x20 && c != ']'; }
};

// The text being written into a string sized ahead of the bytes: `at` is the next byte to write
// and `limit` the end of the string, which finish() cuts to what was written.
class Output {
public:
    Output(std::string& buffer, size_t start, size_t expected) : buffer(buffer) {
        if (buffer.size() < start + expected) {
            buffer.resize(start + expected);
        }
        at = buffer.data() + start;
        limit = buffer.data() + buffer.size();
    }

    void makeRoom(size_t bytes) {
        if (static_cast<size_t>(limit - at) < bytes) {
            grow(bytes);
        }
    }

    // Requires: room for the bytes.
    void put(std::string_view bytes) {
        std::memcpy(at, bytes.data(), bytes.size());
        at += bytes.size();
    }
    void put(char c) { *at++ = c; }

    void write(std::string_view bytes) {
        makeRoom(bytes.size());
        put(bytes);
    }

    void writeNumber(uint32_t value) {
        makeRoom(10);
        at = std::to_chars(at, at + 10, value).ptr;
    }

    // Copies bytes from `from` up to the first that Bytes does not call plain, or to `end`;
    // returns where it stopped. A whole word is copied before it is looked at; what follows the
    // plain bytes is overwritten next. The loop writes through a local pointer: a member written
    // to through char pointers would be stored and loaded again at every byte.
    // Requires: room for end - from bytes.
    template <typename Bytes>
    const char* copyPlain(const char* from, const char* end) {
        char* to = at;
        while (end - from >= 8) {
            const uint64_t special = Bytes::special(loadWord(from));
            std::memcpy(to, from, 8);
            if (special != 0) {
                const int plain = std::countr_zero(special) / 8;
                at = to + plain;
                return from + plain;
            }
            to += 8;
            from += 8;
        }
        while (from != end && Bytes::plain(static_cast<unsigned char>(*from))) {
            *to++ = *from++;
        }
        at = to;
        return from;
    }

    size_t finish() {
        buffer.resize(static_cast<size_t>(at - buffer.data()));
        return buffer.size();
    }

private:
    [[gnu::noinline]] void grow(size_t bytes) {
        const size_t used = static_cast<size_t>(at - buffer.data());
        buffer.resize(std::max(used + bytes, buffer.size() + buffer.size() / 2));
        at = buffer.data() + used;
        limit = buffer.data() + buffer.size();
    }

    std::string& buffer;
    char* at;
    char* limit;
};

void writeAttribute(Output& out, std::string_view value) {
    const char* p = value.data();
    const char* const end = p + value.size();
    out.makeRoom(value.size() + kSlack);
    while (true) {
        p = out.copyPlain<AttributeBytes>(p, end);
        if (p == end) {
            return;
        }
        out.makeRoom(static_cast<size_t>(end - p) + kSlack);
        switch (*p) {
            case '&':
                out.put("&amp;");
                break;
            case '<':
                out.put("&lt;");
                break;
            case '"':
                out.put("&quot;");
                break;
            case '\t':
                out.put("&#09;");
                break;
            case '\n':
                out.put("&#10;");
                break;
            case '\r':
                out.put("&#13;");
                break;
            default:
                out.put(kReplacement);
                break;
        }
        ++p;
    }
}

// Line ends become line feeds; a "]]>" would end the section, so the section ends after "]]"
// and the '>' opens the next one.
void writeCdata(Output& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    out.write("<![CDATA[");
    out.makeRoom(text.size() + kSlack);
    while (true) {
        p = out.copyPlain<CdataBytes>(p, end);
        if (p == end) {
            break;
        }
        out.makeRoom(static_cast<size_t>(end - p) + kSlack);
        const size_t left = static_cast<size_t>(end - p);
        if (*p == ']') {
            const bool sectionEnd = left >= 3 && p[1] == ']' && p[2] == '>';
            out.put(sectionEnd ? kCdataSplit : "]");
            p += sectionEnd ? 3 : 1;
        } else if (*p == '\r') {
            out.put('\n');
            p += left >= 2 && p[1] == '\n' ? 2 : 1;
        } else if (*p == '\t' || *p == '\n') {
            out.put(*p++);
        } else {
            out.put(kReplacement);
            ++p;
        }
    }
    out.write("]]>");
}

void writeTransaction(Output& out, uint32_t session, std::string_view action,
                      std::string_view paramId, std::string_view paramName,
                      std::string_view payload) {
    out.write("<Kri_Transact session=\"");
    out.writeNumber(session);
    out.write("\"><Action name=\"");
    out.write(action);
    out.write("\"><Params><Param id=\"");
    writeAttribute(out, paramId);
    out.write("\" name=\"");
    writeAttribute(out, paramName);
    out.write("\">");
    writeCdata(out, payload);
    out.write("</Param></Params></Action></Kri_Transact>");
}

// The transaction's length when no byte needs replacing, with room for the scan and a few
// replacements.
constexpr size_t kTransactionMarkup = 140;

size_t expectedLength(std::string_view action, std::string_view paramId, std::string_view paramName,
                      std::string_view payload) {
    return kTransactionMarkup + action.size() + paramId.size() + paramName.size() + payload.size() +
           kSlack;
}

}  // namespace

void putFrameHeader(char* header, uint32_t textLength) {
    header[0] = static_cast<char>(textLength >> 24);
    header[1] = static_cast<char>(textLength >> 16);
    header[2] = static_cast<char>(textLength >> 8);
    header[3] = static_cast<char>(textLength);
}

std::string framedText(std::string_view text) {
    std::string frame(kFrameHeaderBytes + text.size(), '\0');
    putFrameHeader(frame.data(), static_cast<uint32_t>(text.size()));
    text.copy(frame.data() + kFrameHeaderBytes, text.size());
    return frame;
}

void appendAttribute(std::string& out, const char* value) {
    const std::string_view text(value);
    Output output(out, out.size(), text.size() + kSlack);
    writeAttribute(output, text);
    output.finish();
}

void appendTransaction(std::string& out, uint32_t session, const char* action, const char* paramId,
                       const char* paramName, const char* payload) {
    Output output(out, out.size(), expectedLength(action, paramId, paramName, payload));
    writeTransaction(output, session, action, paramId, paramName, payload);
    output.finish();
}

void writeFrame(std::string& frame, uint32_t session, const char* action, const char* paramId,
                const char* paramName, const char* payload) {
    Output output(frame, 0,
                  kFrameHeaderBytes + expectedLength(action, paramId, paramName, payload));
    output.makeRoom(kFrameHeaderBytes);
    output.put(std::string_view("\0\0\0\0", kFrameHeaderBytes));
    writeTransaction(output, session, action, paramId, paramName, payload);
    putFrameHeader(frame.data(), static_cast<uint32_t>(output.finish() - kFrameHeaderBytes));
}

std::string framedTransaction(uint32_t session, const char* action, const char* paramId,
                              const char* paramName, const char* payload) {
    std::string frame;
    writeFrame(frame, session, action, paramId, paramName, payload);
    return frame;
}

}  // namespace transactionwriter
