// TransactionWriter: writes the text of one `Kri_Transact` transaction straight into a byte
// buffer, without building a document.
//
// The text is byte for byte what the XML classes write for the same transaction
// (CAggrSvrClient::buildAction wrapped by CAggrSvrClient::wrapAction): attribute values with
// control characters replaced by U+FFFD and '&', '<', '"', tab, line feed and carriage return
// written as references ('>' and '\'' stay as they are); the payload in a CDATA section with
// line ends made line feeds, control characters replaced and every "]]>" split across two
// sections. Free functions; callable from any thread on buffers the caller owns.
#pragma once

#include <cstdint>
#include <string>

namespace transactionwriter {

// Appends the transaction text to `out`; texts end at their first NUL, as the XML classes read
// them. Requires: action is an XML name (the actions are fixed names).
void appendTransaction(std::string& out, uint32_t session, const char* action, const char* paramId,
                       const char* paramName, const char* payload);

// Appends an attribute value as the XML classes write it (see above), for the other documents
// written straight as text. The value ends at its first NUL.
void appendAttribute(std::string& out, const char* value);

// Makes `frame` the frame as it goes on the wire: 4 bytes of big-endian length, then the
// transaction text. The buffer's earlier contents go; its capacity is reused.
void writeFrame(std::string& frame, uint32_t session, const char* action, const char* paramId,
                const char* paramName, const char* payload);

// The same frame in a new string.
std::string framedTransaction(uint32_t session, const char* action, const char* paramId,
                              const char* paramName, const char* payload);

}  // namespace transactionwriter
