// Fuzz target for the direct transaction writer. The input gives the action (first byte), the
// session (next four bytes) and the Param id, name and payload (the rest, split at NUL bytes);
// the writer's frame must carry exactly the text that the XML classes write for the same
// transaction, behind a length header that counts it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Tests/ReferenceTransaction.h"
#include "Tests/fuzz/FuzzCheck.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"

namespace {

const char* const kActions[] = {"AddEntry",      "UpdateEntry", "RemoveEntry",   "UpdateTime",
                                "ChangeSegment", "AddSession",  "RemoveSession", "AddStudio"};

// The next NUL-terminated part of the input; the last part runs to its end.
std::string nextPart(const uint8_t*& data, const uint8_t* end) {
    const uint8_t* start = data;
    while (data != end && *data != 0) {
        ++data;
    }
    std::string part(reinterpret_cast<const char*>(start), static_cast<size_t>(data - start));
    if (data != end) {
        ++data;
    }
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    const char* action = kActions[data[0] % (sizeof kActions / sizeof kActions[0])];
    const uint32_t session = (uint32_t{data[1]} << 24) | (uint32_t{data[2]} << 16) |
                             (uint32_t{data[3]} << 8) | uint32_t{data[4]};
    const uint8_t* cursor = data + 5;
    const uint8_t* end = data + size;
    const std::string id = nextPart(cursor, end);
    const std::string name = nextPart(cursor, end);
    const std::string payload = nextPart(cursor, end);

    const String reference = referencetransaction::wrapAction(
        session,
        referencetransaction::buildAction(action, id.c_str(), name.c_str(), payload.c_str()));
    const std::string frame = transactionwriter::framedTransaction(session, action, id.c_str(),
                                                                   name.c_str(), payload.c_str());
    fuzzRequire(frame.size() >= 4, "a frame has its length header");
    const uint32_t length = (uint32_t{static_cast<unsigned char>(frame[0])} << 24) |
                            (uint32_t{static_cast<unsigned char>(frame[1])} << 16) |
                            (uint32_t{static_cast<unsigned char>(frame[2])} << 8) |
                            uint32_t{static_cast<unsigned char>(frame[3])};
    fuzzRequire(length == frame.size() - 4, "the header counts the text");
    fuzzRequire(frame.compare(4, std::string::npos, reference.c_str()) == 0,
                "the writer writes what the XML classes write");
    return 0;
}
