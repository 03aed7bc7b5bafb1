// Fuzz target for reading a spool segment: a few valid records, then arbitrary bytes, read as
// the journal reads a segment at open.
//
// Input layout:
//   byte 0      the number k of valid records written first (0..15, low four bits)
//   byte 1      their frames' length (0..255)
//   the rest    appended after them: damage, a torn record, more records, anything
// Properties: no crash; every record read checks out (its length fits, its checksum matches,
// its number is higher than the one before); the k valid records are all kept, in order and
// unchanged; records, damaged stretches and the torn tail account for every byte, without
// overlapping.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Tests/fuzz/FuzzCheck.h"
#include "Tools/RovazoRiva/Common/Crc32c.h"
#include "Tools/RovazoRiva/Common/SpoolJournal.h"

namespace {

constexpr uint64_t kFirst = 1000;

uint64_t little(const char* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(at[i]);
    }
    return value;
}

void putLittle(std::string& into, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        into.push_back(static_cast<char>(value >> (8 * i)));
    }
}

// A record as the journal writes it: length, CRC32C of the rest (header after the checksum,
// frame, length), number, time.
std::string record(uint64_t sequence, const std::string& frame) {
    std::string header;
    putLittle(header, frame.size(), 4);
    putLittle(header, 0, 4);
    putLittle(header, sequence, 8);
    putLittle(header, 1234, 8);
    uint32_t crc = crc32c(header.data() + 8, 16);
    crc = crc32c(frame.data(), frame.size(), crc);
    crc = crc32c(header.data(), 4, crc);
    std::string checked = header.substr(0, 4);
    putLittle(checked, crc, 4);
    return checked + header.substr(8) + frame;
}

bool checksOut(std::string_view bytes, uint64_t start, uint64_t end) {
    const char* header = bytes.data() + start;
    const uint64_t length = little(header, 4);
    if (end - start != SpoolJournal::kHeaderBytes + length) {
        return false;
    }
    uint32_t crc = crc32c(header + 8, 16);
    crc = crc32c(header + SpoolJournal::kHeaderBytes, length, crc);
    crc = crc32c(header, 4, crc);
    return crc == little(header + 4, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t valid = data[0] & 0x0F;
    std::string bytes;
    for (size_t i = 0; i < valid; ++i) {
        bytes += record(kFirst + i, std::string(data[1], static_cast<char>('a' + i)));
    }
    const size_t prefix = bytes.size();
    bytes.append(reinterpret_cast<const char*>(data) + 2, size - 2);

    const SpoolJournal::SegmentReading reading = SpoolJournal::readRecords(bytes, kFirst, 0);
    fuzzRequire(reading.ends.size() >= valid, "every valid record before the damage is kept");
    uint64_t position = 0;
    uint64_t previous = 0;
    size_t damage = 0;
    size_t gap = 0;
    uint64_t skipped = 0;
    for (size_t i = 0; i < reading.ends.size(); ++i) {
        while (damage < reading.damage.size() && reading.damage[damage].at == position) {
            fuzzRequire(reading.damage[damage].bytes > 0, "a damaged stretch holds bytes");
            position += reading.damage[damage++].bytes;
        }
        const uint64_t end = reading.ends[i];
        fuzzRequire(end > position && end <= bytes.size(), "a record lies within the bytes");
        fuzzRequire(checksOut(bytes, position, end), "a record read checks out");
        if (gap < reading.gaps.size() && reading.gaps[gap].index == i) {
            skipped += reading.gaps[gap++].skipped;
        }
        const uint64_t sequence = little(bytes.data() + position + 8, 8);
        fuzzRequire(sequence == kFirst + i + skipped, "the gaps give each record its number");
        fuzzRequire(i == 0 || sequence > previous, "numbers rise");
        if (i < valid) {
            fuzzRequire(sequence == kFirst + i && end <= prefix,
                        "the valid records come first, unchanged");
        }
        previous = sequence;
        position = end;
    }
    fuzzRequire(gap == reading.gaps.size(), "every gap belongs to a record");
    while (damage < reading.damage.size() && reading.damage[damage].at == position) {
        position += reading.damage[damage++].bytes;
    }
    fuzzRequire(damage == reading.damage.size(), "damaged stretches lie between records");
    fuzzRequire(position + reading.tornBytes == bytes.size(), "every byte is accounted for");
    return 0;
}
