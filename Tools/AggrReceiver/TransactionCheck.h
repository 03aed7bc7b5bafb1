// checkTransaction: decides whether one received frame is a well-formed transaction and pulls
// out what the receiver reports about it. A transaction is the element tree
//   Kri_Transact session=<unsigned decimal>
//     Action name=<one of the eight action names>
//       Params
//         Param id=<text> name=<text>   (in this order)
//           CDATA payload (possibly empty; split into several sections when it holds "]]>")
// with no other elements, attributes or text. Whitespace between elements, comments and an XML
// declaration are tolerated. Pure function, safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace aggrreceiver {

inline constexpr std::array<std::string_view, 8> kActionNames = {
    "AddStudio",   "AddSession",  "RemoveSession", "AddEntry",
    "UpdateEntry", "RemoveEntry", "UpdateTime",    "ChangeSegment"};

struct TransactionInfo {
    std::string session;
    std::string action;
    std::string paramId;
    std::string paramName;
    std::string payload;
};

struct CheckedTransaction {
    // Empty when the frame is a well-formed transaction; otherwise why it is not.
    std::string error;
    TransactionInfo info;

    bool ok() const { return error.empty(); }
};

CheckedTransaction checkTransaction(std::string_view frame);

}  // namespace aggrreceiver
