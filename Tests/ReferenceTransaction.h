// The reference transaction text: what the XML classes write for a `Kri_Transact` transaction.
// The client writes its frames straight as text (TransactionWriter.h); tests and benchmarks
// compare that text with this one, built through the document classes.
#pragma once

#include <cstdint>
#include <string>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/String.h"

namespace referencetransaction {

// The text of an `Action` element with its `Params`/`Param` and the payload's CDATA section.
inline String buildAction(const String& actionName, const String& paramId, const String& paramName,
                          const String& payload) {
    CXMLDoc document;
    CElementNode action = document.CreateRootElement("Action");
    action.AddAttribute("name", actionName);
    CElementNode param =
        action.AppendChild(CElementNode("Params")).AppendChild(CElementNode("Param"));
    param.AddAttribute("id", paramId);
    param.AddAttribute("name", paramName);
    param.AppendChild(CCDATASection(payload));
    return action.GetXml();
}

// The transaction text for an action text that buildAction made: the same text as parsing the
// action and writing it under a `Kri_Transact` root with the session id, without the parse (the
// XML classes write a text that parses back to the same tree and text).
// Requires: actionText is a result of buildAction.
inline String wrapAction(uint32_t session, const String& actionText) {
    return String(("<Kri_Transact session=\"" + std::to_string(session) + "\">" +
                   actionText.c_str() + "</Kri_Transact>")
                      .c_str());
}

}  // namespace referencetransaction
