#include "Tools/RovazoRiva/Common/TransactionWriter.h"

#include <cstring>

namespace transactionwriter {

namespace {

// U+FFFD in UTF-8: stands for a control character that XML 1.0 cannot carry.
constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool isPlainInAttribute(unsigned char c) {
    return c >= 0x20 && c != '&' && c != '<' && c != '"';
}

bool isPlainInCdata(const char* p) {
    const auto c = static_cast<unsigned char>(*p);
    return c >= 0x20 && !(c == ']' && p[1] == ']' && p[2] == '>');
}

// A "]]>" would end the section: the section ends after "]]" and the '>' opens the next one.
void appendCdata(std::string& out, const char* text) {
    out += "<![CDATA[";
    const char* p = text;
    while (*p != '\0') {
        const char* run = p;
        while (*p == '\t' || *p == '\n' || isPlainInCdata(p)) {
            ++p;
        }
        out.append(run, static_cast<size_t>(p - run));
        if (*p == '\0') {
            break;
        }
        if (*p == ']') {
            out += "]]]]><![CDATA[>";
            p += 3;
        } else if (*p == '\r') {
            out += '\n';
            p += p[1] == '\n' ? 2 : 1;
        } else {
            out += kReplacement;
            ++p;
        }
    }
    out += "]]>";
}

}  // namespace

void appendAttribute(std::string& out, const char* value) {
    const char* p = value;
    while (*p != '\0') {
        const char* run = p;
        while (isPlainInAttribute(static_cast<unsigned char>(*p))) {
            ++p;
        }
        out.append(run, static_cast<size_t>(p - run));
        switch (*p) {
            case '\0':
                return;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\t':
                out += "&#09;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += kReplacement;
                break;
        }
        ++p;
    }
}

void appendTransaction(std::string& out, uint32_t session, const char* action, const char* paramId,
                       const char* paramName, const char* payload) {
    out += "<Kri_Transact session=\"";
    out += std::to_string(session);
    out += "\"><Action name=\"";
    out += action;
    out += "\"><Params><Param id=\"";
    appendAttribute(out, paramId);
    out += "\" name=\"";
    appendAttribute(out, paramName);
    out += "\">";
    appendCdata(out, payload);
    out += "</Param></Params></Action></Kri_Transact>";
}

void writeFrame(std::string& frame, uint32_t session, const char* action, const char* paramId,
                const char* paramName, const char* payload) {
    frame.clear();
    frame.reserve(4 + 110 + std::strlen(paramId) + std::strlen(paramName) + std::strlen(payload));
    frame.append(4, '\0');
    appendTransaction(frame, session, action, paramId, paramName, payload);
    const auto length = static_cast<uint32_t>(frame.size() - 4);
    frame[0] = static_cast<char>(length >> 24);
    frame[1] = static_cast<char>(length >> 16);
    frame[2] = static_cast<char>(length >> 8);
    frame[3] = static_cast<char>(length);
}

std::string framedTransaction(uint32_t session, const char* action, const char* paramId,
                              const char* paramName, const char* payload) {
    std::string frame;
    writeFrame(frame, session, action, paramId, paramName, payload);
    return frame;
}

}  // namespace transactionwriter
