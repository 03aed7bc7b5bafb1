#include "Tools/RovazoRiva/Common/SpoolJournal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <system_error>

#include "LibraryInterfaces/KriErr.h"
#include "Tools/RovazoRiva/Common/Crc32c.h"

namespace {

// Warning severity, facility 0xE00: transactions were given up.
constexpr uint32_t kTransactionsDroppedEvent = 0x8E000D04u;

constexpr char kAcknowledgedFile[] = "acknowledged";
constexpr char kSegmentPrefix[] = "journal-";
constexpr char kSegmentSuffix[] = ".seg";
constexpr char kCorruptSuffix[] = ".corrupt";
constexpr char kRewriteSuffix[] = ".new";
constexpr uint64_t kMinSegmentBytes = 64 * 1024;
constexpr uint64_t kMaxSegmentBytes = 16 * 1024 * 1024;

void putLittle(char* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<char>(value >> (8 * i));
    }
}

uint64_t getLittle(const char* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(at[i]);
    }
    return value;
}

// The checksum of a record: the header after the checksum field, then the frame, then the
// length field.
uint32_t recordCrc(const char* header, const char* frame, uint32_t length) {
    uint32_t crc = crc32c(header + 8, SpoolJournal::kHeaderBytes - 8);
    crc = crc32c(frame, length, crc);
    return crc32c(header, 4, crc);
}

// The errno value's text; thread-safe, unlike strerror, and portable, unlike strerror_r.
std::string errorText(int error) {
    return std::generic_category().message(error);
}

std::string segmentName(uint64_t diskFirst) {
    char name[64];
    snprintf(name, sizeof name, "%s%020" PRIu64 "%s", kSegmentPrefix, diskFirst, kSegmentSuffix);
    return name;
}

// The number in a segment's name; false for any other name.
bool parseSegmentName(const std::string& name, uint64_t& diskFirst) {
    const size_t prefix = sizeof kSegmentPrefix - 1;
    const size_t suffix = sizeof kSegmentSuffix - 1;
    if (name.size() != prefix + 20 + suffix || name.compare(0, prefix, kSegmentPrefix) != 0 ||
        name.compare(prefix + 20, suffix, kSegmentSuffix) != 0) {
        return false;
    }
    diskFirst = 0;
    for (size_t i = prefix; i < prefix + 20; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
        diskFirst = diskFirst * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return true;
}

std::string acknowledgedText(uint64_t diskSequence) {
    std::string text(12, '\0');
    putLittle(text.data(), diskSequence, 8);
    putLittle(text.data() + 8, crc32c(text.data(), 8), 4);
    return text;
}

bool endsWith(const std::string& name, const char* suffix) {
    const size_t length = std::strlen(suffix);
    return name.size() > length && name.compare(name.size() - length, length, suffix) == 0;
}

// Whether the header at `at` could start a record: its length fits the bytes, and its number
// is at least `minimum` and below `limit` when that is not 0 (within what one segment can hold
// above `minimum` otherwise).
bool plausibleHeader(std::string_view bytes, uint64_t at, uint64_t minimum, uint64_t limit,
                     uint64_t& sequence, uint32_t& length) {
    if (bytes.size() - at < SpoolJournal::kHeaderBytes) {
        return false;
    }
    const char* header = bytes.data() + at;
    length = static_cast<uint32_t>(getLittle(header, 4));
    sequence = getLittle(header + 8, 8);
    const uint64_t room = bytes.size() - at - SpoolJournal::kHeaderBytes;
    const uint64_t highest =
        minimum + SpoolJournal::kMaxSegmentFileBytes / SpoolJournal::kHeaderBytes;
    return length <= room && sequence >= minimum && sequence <= highest &&
           (limit == 0 || sequence < limit);
}

bool checksumMatches(std::string_view bytes, uint64_t at, uint32_t length) {
    const char* header = bytes.data() + at;
    return recordCrc(header, header + SpoolJournal::kHeaderBytes, length) ==
           getLittle(header + 4, 4);
}

// Whether the bytes from `at` on are what an interrupted append leaves: less than a header,
// zeros to the end, or the expected record with a length that runs past the end.
bool tornTail(std::string_view bytes, uint64_t at, uint64_t expected) {
    const std::string_view tail = bytes.substr(at);
    if (tail.size() < SpoolJournal::kHeaderBytes ||
        tail.find_first_not_of('\0') == std::string_view::npos) {
        return true;
    }
    return getLittle(tail.data() + 8, 8) == expected &&
           SpoolJournal::kHeaderBytes + getLittle(tail.data(), 4) > tail.size();
}

}  // namespace

uint64_t SpoolJournal::Segment::diskSequence(size_t index) const {
    uint64_t sequence = diskFirst + index;
    for (const Gap& gap : gaps) {
        if (gap.index > index) {
            break;
        }
        sequence += gap.skipped;
    }
    return sequence;
}

size_t SpoolJournal::Segment::countAfter(uint64_t sequence) const {
    size_t low = 0;
    size_t high = ends.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (diskSequence(middle) > sequence) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return ends.size() - low;
}

SpoolJournal::SegmentReading SpoolJournal::readRecords(std::string_view bytes, uint64_t diskFirst,
                                                       uint64_t nextFirst) {
    SegmentReading reading;
    uint64_t position = 0;
    uint64_t expected = diskFirst;
    // Checksums are costly, and bytes made to look like headers could ask for one at every
    // position of a search; real damage resynchronises well within this budget.
    uint64_t checksumBudget = 2 * bytes.size() + (1u << 20);
    while (position < bytes.size()) {
        uint64_t sequence = 0;
        uint32_t length = 0;
        if (plausibleHeader(bytes, position, expected, nextFirst, sequence, length) &&
            checksumMatches(bytes, position, length)) {
            if (sequence != expected) {
                reading.gaps.push_back(Gap{reading.ends.size(), sequence - expected});
            }
            position += kHeaderBytes + length;
            reading.ends.push_back(static_cast<uint32_t>(position));
            expected = sequence + 1;
            continue;
        }
        // Damage: the next valid record.
        uint64_t next = position + 1;
        for (; next < bytes.size(); ++next) {
            if (!plausibleHeader(bytes, next, expected, nextFirst, sequence, length)) {
                continue;
            }
            if (length > checksumBudget) {
                next = bytes.size();
                break;
            }
            checksumBudget -= length;
            if (checksumMatches(bytes, next, length)) {
                break;
            }
        }
        if (next < bytes.size()) {
            reading.damage.push_back(
                Damage{position, next - position, expected, sequence - expected});
            position = next;
        } else if (tornTail(bytes, position, expected)) {
            reading.tornBytes = bytes.size() - position;
            break;
        } else {
            const uint64_t lost = nextFirst > expected ? nextFirst - expected : 1;
            reading.damage.push_back(Damage{position, bytes.size() - position, expected, lost});
            break;
        }
    }
    return reading;
}

SpoolJournal::SpoolJournal(platform::SpoolFiles& files) : files(files) {}

SpoolJournal::~SpoolJournal() {
    if (state != State::kClosed) {
        persistAcknowledged(true);
    }
}

std::string SpoolJournal::path(const std::string& name) const {
    return settings.directory + "/" + name;
}

std::string SpoolJournal::open(const Settings& wanted) {
    settings = wanted;
    if (settings.segmentBytes == 0) {
        settings.segmentBytes =
            std::clamp(settings.limitBytes / 8, kMinSegmentBytes, kMaxSegmentBytes);
    }
    const std::string& dir = settings.directory;
    if (std::string reason = files.checkDirectory(dir); !reason.empty()) {
        return "the spool directory " + dir + " cannot be used: " + reason;
    }
    int error = 0;
    directoryLock = files.lockDirectory(dir, error);
    if (!directoryLock) {
        return error == EWOULDBLOCK
                   ? "the spool directory " + dir + " is in use by another process"
                   : "the spool directory " + dir + " cannot be locked: " + errorText(error);
    }
    uint64_t clampedAcknowledged = 0;
    std::lock_guard<std::mutex> guard(lock);
    std::string reason = scan(files, dir, Scan::kRepair, segments, found, clampedAcknowledged);
    if (reason.empty() && (error = files.identify(dir, directoryIdentity)) != 0) {
        reason = "the spool directory " + dir + " cannot be read: " + errorText(error);
    }
    if (reason.empty() &&
        (error = files.open(path(kAcknowledgedFile), platform::SpoolFiles::Opening::kInPlace,
                            acknowledgedFile)) != 0) {
        reason = "the spool's file " + path(kAcknowledgedFile) +
                 " cannot be written: " + errorText(error);
    }
    // Written now, so that the file has its block before the disk can fill, and synced after the
    // records (scan synced them) so that it is never ahead of them. Should that fail (a full
    // disk), the journal opens failed: its records can still be read, and what the caller cannot
    // mark as sent is sent again at the next start.
    int positionError = 0;
    if (reason.empty()) {
        const std::string text = acknowledgedText(clampedAcknowledged);
        positionError = acknowledgedFile->writeAt(0, text.data(), text.size());
        if (positionError == 0) {
            positionError = acknowledgedFile->truncate(12);
        }
        if (positionError == 0) {
            positionError = acknowledgedFile->sync();
        }
        if (positionError == 0) {
            positionError = files.syncDirectory(dir);
        }
    }
    if (!reason.empty()) {
        segments.clear();
        acknowledgedFile.reset();
        directoryLock.reset();
        return reason;
    }
    const uint64_t journalEnd = segments.empty() ? 0 : segments.back().diskEnd();
    nextSequence = segments.empty() ? clampedAcknowledged + 1 : segments.back().end();
    // Past the stored position too: should it be ahead of the records (and a crash keep it
    // there), what is appended now still counts as not acknowledged at the next open.
    nextDiskSequence = std::max(journalEnd, found.acknowledged + 1);
    numberingLeaps = !segments.empty() && nextDiskSequence != journalEnd;
    liveFrom = nextSequence - found.records;
    acknowledgedThrough = liveFrom - 1;
    durableThrough = nextSequence - 1;
    durableDisk = nextDiskSequence - 1;
    acknowledgedDisk = writtenAcknowledged = durableAcknowledged = clampedAcknowledged;
    for (const Segment& segment : segments) {
        totalBytes += segment.bytes();
    }
    state = State::kOpen;
    deleteAcknowledgedSegments();
    if (positionError != 0) {
        fail("the spool's file " + path(kAcknowledgedFile) + " cannot be written", positionError);
    }
    uint64_t freeBytes = 0;
    if (files.freeBytes(dir, freeBytes) == 0 && freeBytes + totalBytes < settings.limitBytes) {
        KRI_TRACE_WARNING(kSpoolJournalUnit,
                          "Spool %s may hold %" PRIu64 " MiB, but its disk has only %" PRIu64
                          " MiB free\n",
                          dir.c_str(), settings.limitBytes >> 20, freeBytes >> 20);
    }
    return "";
}

std::string SpoolJournal::inspect(platform::SpoolFiles& files, const std::string& directory,
                                  Contents& contents) {
    std::deque<Segment> segments;
    uint64_t acknowledgedDisk = 0;
    return scan(files, directory, Scan::kReadOnly, segments, contents, acknowledgedDisk);
}

uint64_t SpoolJournal::readAcknowledged(platform::SpoolFiles& files, const std::string& directory,
                                        Scan mode, Contents& contents) {
    std::string stored;
    const int readError = files.readWhole(directory + "/" + kAcknowledgedFile, stored, 12);
    if (readError == 0 && stored.size() == 12 &&
        crc32c(stored.data(), 8) == getLittle(stored.data() + 8, 4)) {
        return getLittle(stored.data(), 8);
    }
    // A missing or empty file is one made before anything was acknowledged.
    if (readError == ENOENT || (readError == 0 && stored.empty())) {
        return 0;
    }
    contents.position = Contents::Position::kUnreadable;
    if (mode == Scan::kRepair) {
        KRI_TRACE_WARNING(kSpoolJournalUnit,
                          "Spool %s: the acknowledged position is unreadable (%s); every "
                          "transaction it holds will be sent again\n",
                          directory.c_str(),
                          readError != 0 ? errorText(readError).c_str() : "bad checksum");
    }
    return 0;
}

std::string SpoolJournal::scan(platform::SpoolFiles& files, const std::string& directory, Scan mode,
                               std::deque<Segment>& segments, Contents& contents,
                               uint64_t& acknowledgedDisk) {
    std::vector<std::string> names;
    if (const int error = files.list(directory, names); error != 0) {
        return "the spool directory " + directory + " cannot be read: " + errorText(error);
    }
    std::vector<uint64_t> firsts;
    for (const std::string& name : names) {
        uint64_t diskFirst = 0;
        if (parseSegmentName(name, diskFirst)) {
            firsts.push_back(diskFirst);
        } else if (endsWith(name, kCorruptSuffix)) {
            ++contents.repairedBefore;
        } else if (mode == Scan::kRepair && endsWith(name, kRewriteSuffix) &&
                   parseSegmentName(name.substr(0, name.size() - (sizeof kRewriteSuffix - 1)),
                                    diskFirst)) {
            // A rewrite that a crash interrupted: the segment it was for is still whole.
            files.remove(directory + "/" + name);
        }
    }
    std::sort(firsts.begin(), firsts.end());

    acknowledgedDisk = readAcknowledged(files, directory, mode, contents);
    contents.acknowledged = acknowledgedDisk;
    uint64_t nextFirst = firsts.empty() ? 0 : firsts.front();
    for (size_t i = 0; i < firsts.size(); ++i) {
        Segment segment;
        segment.diskFirst = firsts[i];
        segment.first = nextFirst;
        segment.name = segmentName(firsts[i]);
        if (std::string reason =
                readSegment(files, directory, segment, i + 1 < firsts.size() ? firsts[i + 1] : 0,
                            acknowledgedDisk, mode, contents);
            !reason.empty()) {
            return reason;
        }
        contents.bytes += segment.bytes();
        ++contents.segments;
        nextFirst = segment.end();
        segments.push_back(std::move(segment));
    }
    const uint64_t journalEnd = segments.empty() ? 0 : segments.back().diskEnd();
    if (!segments.empty() && acknowledgedDisk > 0 && acknowledgedDisk >= journalEnd) {
        contents.position = Contents::Position::kBeyondEnd;
        acknowledgedDisk = journalEnd > 0 ? journalEnd - 1 : 0;
        if (mode == Scan::kRepair) {
            KRI_TRACE_WARNING(kSpoolJournalUnit,
                              "Spool %s: the acknowledged position (record %" PRIu64
                              ") is beyond the last record (%" PRIu64
                              "); it is taken back to that record, and new transactions are "
                              "numbered after both\n",
                              directory.c_str(), contents.acknowledged, acknowledgedDisk);
        }
    }
    // The records after the acknowledged one are still to be sent.
    for (const Segment& segment : segments) {
        const size_t pending = segment.countAfter(acknowledgedDisk);
        contents.records += pending;
        if (pending > 0 && contents.oldestMs == 0) {
            char header[kHeaderBytes];
            if (segment.file->readAt(segment.start(segment.ends.size() - pending), header,
                                     kHeaderBytes) == 0) {
                contents.oldestMs = static_cast<int64_t>(getLittle(header + 16, 8));
            }
        }
    }
    if (mode == Scan::kRepair && contents.records > 0) {
        KRI_TRACE(kSpoolJournalUnit,
                  "Spool %s holds %" PRIu64 " transactions from an earlier run to send\n",
                  directory.c_str(), contents.records);
    }
    return "";
}

std::string SpoolJournal::readSegment(platform::SpoolFiles& files, const std::string& directory,
                                      Segment& segment, uint64_t nextFirst,
                                      uint64_t acknowledgedDisk, Scan mode, Contents& contents) {
    const std::string filePath = directory + "/" + segment.name;
    const auto opening = mode == Scan::kRepair ? platform::SpoolFiles::Opening::kExisting
                                               : platform::SpoolFiles::Opening::kReadOnly;
    std::unique_ptr<platform::SpoolFile> file;
    if (const int error = files.open(filePath, opening, file); error != 0) {
        return "the spool segment " + filePath + " cannot be opened: " + errorText(error);
    }
    const uint64_t size = file->size();
    std::string bytes(std::min(size, kMaxSegmentFileBytes), '\0');
    if (const int error = file->readAt(0, bytes.data(), bytes.size()); error != 0) {
        return "the spool segment " + filePath + " cannot be read: " + errorText(error);
    }
    SegmentReading reading = readRecords(bytes, segment.diskFirst, nextFirst);
    if (size > bytes.size()) {
        // Larger than the journal ever makes a segment: what follows is not ours.
        reading.damage.push_back(Damage{bytes.size() - reading.tornBytes,
                                        size - bytes.size() + reading.tornBytes, 0, 0});
        reading.tornBytes = 0;
    }
    uint64_t damagedBytes = 0;
    uint64_t lost = 0;
    for (const Damage& damage : reading.damage) {
        damagedBytes += damage.bytes;
        const uint64_t from = std::max(damage.firstLost, acknowledgedDisk + 1);
        lost += damage.firstLost + damage.lost > from ? damage.firstLost + damage.lost - from : 0;
    }
    contents.cutBytes += reading.tornBytes;
    if (!reading.damage.empty()) {
        ++contents.damagedSegments;
        contents.damagedBytes += damagedBytes;
        contents.damagedRecords += lost;
    }
    if (mode == Scan::kRepair && reading.tornBytes > 0) {
        KRI_TRACE_WARNING(kSpoolJournalUnit,
                          "Spool %s: %" PRIu64
                          " bytes of an incomplete record cut from the end of %s\n",
                          directory.c_str(), reading.tornBytes, segment.name.c_str());
    }
    if (mode == Scan::kRepair && !reading.damage.empty()) {
        char text[512];
        snprintf(text, sizeof text,
                 "Spool %s: segment %s is damaged at byte %" PRIu64 " (%" PRIu64
                 " bytes in all); %" PRIu64
                 " transactions in it are lost and the others kept; the damaged file is kept "
                 "as %s%s",
                 directory.c_str(), segment.name.c_str(), reading.damage.front().at, damagedBytes,
                 lost, segment.name.c_str(), kCorruptSuffix);
        if (lost > 0) {
            KRI_REPORT_EVENT(kSpoolJournalUnit, kTransactionsDroppedEvent, "%s", text);
        } else {
            KRI_TRACE_WARNING(kSpoolJournalUnit, "%s\n", text);
        }
        if (std::string reason =
                rewriteWithoutDamage(files, directory, segment.name, bytes, reading);
            !reason.empty()) {
            return reason;
        }
        if (const int error = files.open(filePath, opening, file); error != 0) {
            return "the spool segment " + filePath + " cannot be opened: " + errorText(error);
        }
        bytes.resize(file->size());
        if (const int error = file->readAt(0, bytes.data(), bytes.size()); error != 0) {
            return "the spool segment " + filePath + " cannot be read: " + errorText(error);
        }
        reading = readRecords(bytes, segment.diskFirst, nextFirst);
    } else if (mode == Scan::kRepair && reading.tornBytes > 0) {
        if (const int error = file->truncate(bytes.size() - reading.tornBytes); error != 0) {
            return "the spool segment " + filePath + " cannot be repaired: " + errorText(error);
        }
    }
    if (mode == Scan::kRepair) {
        // A crash of the process leaves appended records in the page cache only; the position
        // written at open must not reach the disk before them.
        if (const int error = file->sync(); error != 0) {
            return "the spool segment " + filePath + " cannot be synced: " + errorText(error);
        }
    }
    segment.ends = std::move(reading.ends);
    segment.gaps = std::move(reading.gaps);
    segment.file = std::move(file);
    return "";
}

std::string SpoolJournal::rewriteWithoutDamage(platform::SpoolFiles& files,
                                               const std::string& directory,
                                               const std::string& name, const std::string& bytes,
                                               const SegmentReading& reading) {
    std::string kept;
    size_t damage = 0;
    uint64_t position = 0;
    for (const uint32_t end : reading.ends) {
        while (damage < reading.damage.size() && reading.damage[damage].at == position) {
            position += reading.damage[damage++].bytes;
        }
        kept.append(bytes, position, end - position);
        position = end;
    }
    // The copy for inspection first, then the segment replaced whole: a crash at any point
    // leaves either the damaged segment or the repaired one.
    const std::string segmentPath = directory + "/" + name;
    const std::pair<std::string, const std::string*> writes[] = {
        {segmentPath + kCorruptSuffix, &bytes}, {segmentPath + kRewriteSuffix, &kept}};
    for (const auto& [to, content] : writes) {
        std::unique_ptr<platform::SpoolFile> file;
        int error = files.open(to, platform::SpoolFiles::Opening::kNew, file);
        if (error == 0) {
            error = file->truncate(0);
        }
        if (error == 0) {
            error = file->append(content->data(), content->size());
        }
        if (error == 0) {
            error = file->sync();
        }
        if (error != 0) {
            return "the damaged spool segment " + segmentPath + " cannot be repaired: " + to +
                   ": " + errorText(error);
        }
    }
    int error = files.rename(segmentPath + kRewriteSuffix, segmentPath);
    if (error == 0) {
        error = files.syncDirectory(directory);
    }
    return error == 0 ? ""
                      : "the damaged spool segment " + segmentPath +
                            " cannot be repaired: " + errorText(error);
}

uint64_t SpoolJournal::firstSequence() {
    std::lock_guard<std::mutex> guard(lock);
    return liveFrom;
}

uint64_t SpoolJournal::endSequence() {
    std::lock_guard<std::mutex> guard(lock);
    return nextSequence;
}

std::string SpoolJournal::failure() {
    std::lock_guard<std::mutex> guard(lock);
    return failureText;
}

void SpoolJournal::fail(const std::string& what, int error) {
    failWith(what + ": " + errorText(error));
}

void SpoolJournal::failWith(const std::string& text) {
    state = State::kFailed;
    failureText = text;
    synced.notify_all();
}

void SpoolJournal::checkFiles() {
    std::shared_ptr<platform::SpoolFile> newest;
    std::string name;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (state != State::kOpen) {
            return;
        }
        if (!segments.empty()) {
            newest = segments.back().file;
            name = segments.back().name;
        }
    }
    platform::FileIdentity identity;
    platform::FileIdentity opened;
    std::string gone;
    if (files.identify(settings.directory, identity) != 0 ||
        !identity.sameFile(directoryIdentity)) {
        gone = "the spool directory " + settings.directory + " was removed or replaced";
    } else if (newest &&
               (newest->identify(opened) != 0 || opened.links == 0 ||
                files.identify(path(name), identity) != 0 || !identity.sameFile(opened))) {
        gone = "the spool segment " + path(name) + " was removed or replaced";
    }
    if (gone.empty()) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock);
    // A segment deleted for the bound since it was looked at is no longer the newest.
    if (state == State::kOpen && (!newest || segments.back().file == newest)) {
        failWith(gone);
    }
}

const SpoolJournal::Segment* SpoolJournal::segmentOf(uint64_t sequence) const {
    auto after =
        std::upper_bound(segments.begin(), segments.end(), sequence,
                         [](uint64_t s, const Segment& segment) { return s < segment.first; });
    if (after == segments.begin()) {
        return nullptr;
    }
    const Segment& segment = *std::prev(after);
    return sequence < segment.end() ? &segment : nullptr;
}

int SpoolJournal::startSegment() {
    if (!segments.empty()) {
        // Records in a finished segment are on the disk before the next one starts, so that
        // group commit need only sync the newest.
        if (const int error = segments.back().file->sync(); error != 0) {
            fail("the spool segment " + path(segments.back().name) + " cannot be synced", error);
            return error;
        }
        durableThrough = nextSequence - 1;
        durableDisk = nextDiskSequence - 1;
    }
    numberingLeaps = false;
    Segment segment;
    segment.first = nextSequence;
    segment.diskFirst = nextDiskSequence;
    segment.name = segmentName(nextDiskSequence);
    std::unique_ptr<platform::SpoolFile> file;
    int error = files.open(path(segment.name), platform::SpoolFiles::Opening::kNew, file);
    if (error == 0) {
        error = files.syncDirectory(settings.directory);
    }
    if (error != 0) {
        fail("the spool segment " + path(segment.name) + " cannot be made", error);
        return error;
    }
    segment.file = std::move(file);
    segments.push_back(std::move(segment));
    return 0;
}

int SpoolJournal::append(std::string_view frame, int64_t wallClockMs, Dropped& dropped) {
    std::lock_guard<std::mutex> guard(lock);
    if (state != State::kOpen) {
        return EIO;
    }
    const uint64_t recordBytes = kHeaderBytes + frame.size();
    if (segments.empty() || numberingLeaps ||
        (!segments.back().ends.empty() &&
         segments.back().bytes() + recordBytes > settings.segmentBytes)) {
        if (const int error = startSegment(); error != 0) {
            return error;
        }
    }
    while (segments.size() > 1 && totalBytes + recordBytes > settings.limitBytes) {
        dropOldestSegment(dropped);
    }
    thread_local std::string record;
    record.assign(kHeaderBytes, '\0');
    const auto length = static_cast<uint32_t>(frame.size());
    putLittle(record.data(), length, 4);
    putLittle(record.data() + 8, nextDiskSequence, 8);
    putLittle(record.data() + 16, static_cast<uint64_t>(wallClockMs), 8);
    putLittle(record.data() + 4, recordCrc(record.data(), frame.data(), length), 4);
    record.append(frame);
    Segment& segment = segments.back();
    if (const int error = segment.file->append(record.data(), record.size()); error != 0) {
        // Whatever part of the record reached the file is cut at the next open.
        fail("the spool segment " + path(segment.name) + " cannot be written", error);
        return error;
    }
    segment.ends.push_back(static_cast<uint32_t>(segment.bytes() + recordBytes));
    totalBytes += recordBytes;
    ++nextSequence;
    ++nextDiskSequence;
    return 0;
}

void SpoolJournal::dropOldestSegment(Dropped& dropped) {
    Segment& oldest = segments.front();
    for (uint64_t sequence = std::max(liveFrom, oldest.first); sequence < oldest.end();
         ++sequence) {
        const size_t index = sequence - oldest.first;
        ++dropped.count;
        dropped.bytes += oldest.ends[index] - oldest.start(index) - kHeaderBytes;
    }
    liveFrom = std::max(liveFrom, oldest.end());
    totalBytes -= oldest.bytes();
    files.remove(path(oldest.name));
    segments.pop_front();
}

void SpoolJournal::deleteAcknowledgedSegments() {
    while (segments.size() > 1 && segments.front().end() <= liveFrom) {
        totalBytes -= segments.front().bytes();
        files.remove(path(segments.front().name));
        segments.pop_front();
    }
}

void SpoolJournal::waitDurable(uint64_t sequence) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBatchWaitMs);
    std::unique_lock<std::mutex> guard(lock);
    syncThrough(sequence, guard, settings.sync == Sync::kAlways ? nullptr : &deadline);
}

void SpoolJournal::syncThrough(uint64_t sequence, std::unique_lock<std::mutex>& guard,
                               const std::chrono::steady_clock::time_point* deadline) {
    while (state == State::kOpen && durableThrough < sequence) {
        if (syncing == Syncing::kNo) {
            // This thread syncs for every record appended so far.
            syncing = Syncing::kYes;
            const uint64_t target = nextSequence - 1;
            const uint64_t targetDisk = nextDiskSequence - 1;
            const std::shared_ptr<platform::SpoolFile> file = segments.back().file;
            const std::string name = segments.back().name;
            guard.unlock();
            const int error = file->sync();
            guard.lock();
            syncing = Syncing::kNo;
            if (error != 0) {
                fail("the spool segment " + path(name) + " cannot be synced", error);
            } else {
                durableThrough = std::max(durableThrough, target);
                durableDisk = std::max(durableDisk, targetDisk);
            }
            synced.notify_all();
        } else if (deadline == nullptr) {
            synced.wait(guard);
        } else if (synced.wait_until(guard, *deadline) == std::cv_status::timeout) {
            return;
        }
    }
}

uint32_t SpoolJournal::frameLength(uint64_t sequence) {
    std::lock_guard<std::mutex> guard(lock);
    const Segment* segment = segmentOf(sequence);
    if (segment == nullptr) {
        return 0;
    }
    const size_t index = sequence - segment->first;
    return static_cast<uint32_t>(segment->ends[index] - segment->start(index) - kHeaderBytes);
}

int SpoolJournal::readFrame(uint64_t sequence, std::string& into, int64_t& wallClockMs) {
    std::shared_ptr<platform::SpoolFile> file;
    uint64_t start = 0;
    uint64_t length = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        const Segment* segment = segmentOf(sequence);
        if (segment == nullptr) {
            return ENOENT;
        }
        const size_t index = sequence - segment->first;
        start = segment->start(index);
        length = segment->ends[index] - start - kHeaderBytes;
        file = segment->file;
    }
    char header[kHeaderBytes];
    const size_t at = into.size();
    into.resize(at + length);
    int error = file->readAt(start, header, kHeaderBytes);
    if (error == 0) {
        error = file->readAt(start + kHeaderBytes, into.data() + at, length);
    }
    if (error == 0 && recordCrc(header, into.data() + at, static_cast<uint32_t>(length)) !=
                          getLittle(header + 4, 4)) {
        error = EBADMSG;
    }
    if (error != 0) {
        into.resize(at);
        return error;
    }
    wallClockMs = static_cast<int64_t>(getLittle(header + 16, 8));
    return 0;
}

void SpoolJournal::acknowledge(uint64_t through) {
    std::lock_guard<std::mutex> guard(lock);
    if (through <= acknowledgedThrough) {
        return;
    }
    if (const Segment* segment = segmentOf(through); segment != nullptr) {
        acknowledgedDisk = segment->diskSequence(through - segment->first);
    } else if (through >= nextSequence) {
        // Records the backlog kept in memory after the journal failed: all it holds is done.
        acknowledgedDisk = nextDiskSequence - 1;
    }
    acknowledgedThrough = through;
    liveFrom = std::max(liveFrom, through + 1);
    deleteAcknowledgedSegments();
}

void SpoolJournal::persistAcknowledged(bool durable) {
    std::lock_guard<std::mutex> fileGuard(acknowledgedFileLock);
    uint64_t target = 0;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (state == State::kClosed) {
            return;
        }
        if (durable) {
            syncThrough(std::min(acknowledgedThrough, nextSequence - 1), guard, nullptr);
        }
        // While the journal works, never past what is on the disk. After a failure the records
        // can no longer be synced, and a position ahead of them is clamped at the next open.
        target = state == State::kOpen ? std::min(acknowledgedDisk, durableDisk) : acknowledgedDisk;
    }
    // Written in place: 12 bytes in one sector, which a crash of the process cannot tear; a
    // torn write in a power cut fails its checksum and everything held is sent again.
    int error = 0;
    if (target != writtenAcknowledged) {
        const std::string text = acknowledgedText(target);
        error = acknowledgedFile->writeAt(0, text.data(), text.size());
        if (error == 0) {
            writtenAcknowledged = target;
        }
    }
    if (error == 0 && durable && writtenAcknowledged != durableAcknowledged) {
        error = acknowledgedFile->sync();
        if (error == 0) {
            durableAcknowledged = writtenAcknowledged;
        }
    }
    if (error != 0) {
        // Said once, as the journal's failure; the position stays in memory, and later calls
        // try again to store it.
        std::lock_guard<std::mutex> guard(lock);
        if (state == State::kOpen) {
            fail("the spool's file " + path(kAcknowledgedFile) + " cannot be written", error);
        }
    }
}
