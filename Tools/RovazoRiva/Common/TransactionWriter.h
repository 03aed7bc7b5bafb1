// TransactionWriter: writes the text of one `Kri_Transact` transaction straight into a byte
// buffer, without building a document.
//
// The text is byte for byte what the XML classes write for the same transaction (the tests'
// reference, Tests/ReferenceTransaction.h): attribute values with
// control characters replaced by U+FFFD and '&', '<', '"', tab, line feed and carriage return
// written as references ('>' and '\'' stay as they are); the payload in a CDATA section with
// line ends made line feeds, control characters replaced and every "]]>" split across two
// sections. Free functions; callable from any thread on buffers the caller owns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace transactionwriter {

// Appends the transaction text to `out`; texts end at their first NUL, as the XML classes read
// them. Requires: action is an XML name (the actions are fixed names).
void appendTransaction(std::string& out, uint32_t session, const char* action, const char* paramId,
                       const char* paramName, const char* payload);

// Appends an attribute value as the XML classes write it (see above), for the other documents
// written straight as text. The value ends at its first NUL.
void appendAttribute(std::string& out, const char* value);

// A frame on the wire is its header, the text's length in 4 bytes, big-endian, then the text.
constexpr size_t kFrameHeaderBytes = 4;
void putFrameHeader(char* header, uint32_t textLength);

// The frame of a text written otherwise.
std::string framedText(std::string_view text);

// Makes `frame` the frame of the transaction text. The buffer's earlier contents go; its capacity
// is reused.
void writeFrame(std::string& frame, uint32_t session, const char* action, const char* paramId,
                const char* paramName, const char* payload);

// The same frame in a new string.
std::string framedTransaction(uint32_t session, const char* action, const char* paramId,
                              const char* paramName, const char* payload);

}  // namespace transactionwriter
