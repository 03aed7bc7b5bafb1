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

}  // namespace

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
    uint64_t storedAcknowledged = 0;
    std::lock_guard<std::mutex> guard(lock);
    if (std::string reason = scan(files, dir, Scan::kRepair, segments, found, storedAcknowledged);
        !reason.empty()) {
        directoryLock.reset();
        return reason;
    }
    error = files.open(path(kAcknowledgedFile), platform::SpoolFiles::Opening::kInPlace,
                       acknowledgedFile);
    if (error == 0) {
        error = files.syncDirectory(dir);
    }
    if (error != 0) {
        directoryLock.reset();
        return "the spool's file " + path(kAcknowledgedFile) +
               " cannot be opened: " + errorText(error);
    }
    nextSequence = segments.empty() ? storedAcknowledged + 1 : segments.back().end();
    nextDiskSequence = segments.empty() ? storedAcknowledged + 1
                                        : segments.back().diskFirst + segments.back().ends.size();
    liveFrom = nextSequence - found.records;
    acknowledgedThrough = liveFrom - 1;
    durableThrough = nextSequence - 1;
    acknowledgedDisk = writtenAcknowledged = durableAcknowledged = storedAcknowledged;
    for (const Segment& segment : segments) {
        totalBytes += segment.bytes();
    }
    state = State::kOpen;
    deleteAcknowledgedSegments();
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
        } else if (name.size() > sizeof kCorruptSuffix &&
                   name.compare(name.size() - (sizeof kCorruptSuffix - 1), std::string::npos,
                                kCorruptSuffix) == 0) {
            ++contents.corruptParts;
        }
    }
    std::sort(firsts.begin(), firsts.end());

    std::string stored;
    const int readError = files.readWhole(directory + "/" + kAcknowledgedFile, stored);
    if (readError == 0 && stored.size() == 12 &&
        crc32c(stored.data(), 8) == getLittle(stored.data() + 8, 4)) {
        acknowledgedDisk = getLittle(stored.data(), 8);
        // An empty file is one made before anything was acknowledged.
    } else if (readError != ENOENT && !(readError == 0 && stored.empty())) {
        KRI_TRACE_WARNING(kSpoolJournalUnit,
                          "Spool %s: the acknowledged position is unreadable (%s); every "
                          "transaction it holds will be sent again\n",
                          directory.c_str(),
                          readError != 0 ? errorText(readError).c_str() : "bad checksum");
    }
    contents.acknowledged = acknowledgedDisk;

    uint64_t nextFirst = firsts.empty() ? 0 : firsts.front();
    for (size_t i = 0; i < firsts.size(); ++i) {
        Segment segment;
        segment.diskFirst = firsts[i];
        segment.first = nextFirst;
        segment.name = segmentName(firsts[i]);
        bool setAside = false;
        if (std::string reason = readSegment(files, directory, segment, i + 1 == firsts.size(),
                                             mode, contents, setAside);
            !reason.empty()) {
            return reason;
        }
        if (setAside) {
            // Its records up to the next segment's first are lost, unless acknowledged.
            const uint64_t end = i + 1 < firsts.size() ? firsts[i + 1] : firsts[i];
            const uint64_t from = std::max(acknowledgedDisk + 1, firsts[i]);
            contents.lostRecords += end > from ? end - from : 0;
            continue;
        }
        contents.bytes += segment.bytes();
        ++contents.segments;
        nextFirst = segment.end();
        segments.push_back(std::move(segment));
    }
    // The records after the acknowledged one are still to be sent.
    for (const Segment& segment : segments) {
        const uint64_t diskEnd = segment.diskFirst + segment.ends.size();
        if (diskEnd > acknowledgedDisk + 1) {
            const uint64_t skipped = acknowledgedDisk >= segment.diskFirst
                                         ? acknowledgedDisk + 1 - segment.diskFirst
                                         : 0;
            contents.records += segment.ends.size() - skipped;
            if (contents.oldestMs == 0) {
                char header[kHeaderBytes];
                if (segment.file->readAt(segment.start(skipped), header, kHeaderBytes) == 0) {
                    contents.oldestMs = static_cast<int64_t>(getLittle(header + 16, 8));
                }
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
                                      Segment& segment, bool newest, Scan mode, Contents& contents,
                                      bool& setAside) {
    const std::string filePath = directory + "/" + segment.name;
    std::unique_ptr<platform::SpoolFile> file;
    if (const int error = files.open(filePath, platform::SpoolFiles::Opening::kExisting, file);
        error != 0) {
        return "the spool segment " + filePath + " cannot be opened: " + errorText(error);
    }
    const uint64_t size = file->size();
    uint64_t position = 0;
    std::string record;
    while (position + kHeaderBytes <= size) {
        char header[kHeaderBytes];
        if (file->readAt(position, header, kHeaderBytes) != 0) {
            break;
        }
        const auto length = static_cast<uint32_t>(getLittle(header, 4));
        if (length > kMaxFrameBytes || position + kHeaderBytes + length > size ||
            getLittle(header + 8, 8) != segment.diskFirst + segment.ends.size()) {
            break;
        }
        record.resize(length);
        if (file->readAt(position + kHeaderBytes, record.data(), length) != 0 ||
            recordCrc(header, record.data(), length) != getLittle(header + 4, 4)) {
            break;
        }
        position += kHeaderBytes + length;
        segment.ends.push_back(static_cast<uint32_t>(position));
    }
    if (position < size && newest) {
        contents.cutBytes += size - position;
        if (mode == Scan::kRepair) {
            KRI_TRACE_WARNING(kSpoolJournalUnit,
                              "Spool %s: %" PRIu64
                              " bytes of an incomplete record cut from the end of %s\n",
                              directory.c_str(), size - position, segment.name.c_str());
            if (const int error = file->truncate(position); error != 0) {
                return "the spool segment " + filePath + " cannot be repaired: " + errorText(error);
            }
        }
    } else if (position < size) {
        // A bad record in an older segment is not a torn write: what follows it cannot be
        // trusted to be what was written, so the segment is kept aside for inspection.
        setAside = true;
        ++contents.corruptParts;
        if (mode == Scan::kRepair) {
            const std::string aside = filePath + kCorruptSuffix;
            KRI_REPORT_EVENT(kSpoolJournalUnit, kTransactionsDroppedEvent,
                             "Spool %s: segment %s is damaged at byte %" PRIu64
                             "; set aside as %s%s, its transactions are not sent",
                             directory.c_str(), segment.name.c_str(), position,
                             segment.name.c_str(), kCorruptSuffix);
            if (const int error = files.rename(filePath, aside); error != 0) {
                return "the damaged spool segment " + filePath +
                       " cannot be set aside: " + errorText(error);
            }
        }
        return "";
    }
    segment.file = std::move(file);
    return "";
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
    state = State::kFailed;
    failureText = what + ": " + errorText(error);
    synced.notify_all();
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
    }
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
    if (segments.empty() || (!segments.back().ends.empty() &&
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
    while (state == State::kOpen && durableThrough < sequence) {
        if (syncing == Syncing::kNo) {
            // This thread syncs for every record appended so far.
            syncing = Syncing::kYes;
            const uint64_t target = nextSequence - 1;
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
            }
            synced.notify_all();
        } else if (settings.sync == Sync::kAlways) {
            synced.wait(guard);
        } else if (synced.wait_until(guard, deadline) == std::cv_status::timeout) {
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
        acknowledgedDisk = segment->diskFirst + (through - segment->first);
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
    uint64_t diskSequence = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (state == State::kClosed) {
            return;
        }
        diskSequence = acknowledgedDisk;
    }
    // Written in place: 12 bytes in one sector, which a crash of the process cannot tear; a
    // torn write in a power cut fails its checksum and everything held is sent again.
    if (diskSequence != writtenAcknowledged) {
        const std::string text = acknowledgedText(diskSequence);
        if (acknowledgedFile->writeAt(0, text.data(), text.size()) == 0) {
            writtenAcknowledged = diskSequence;
        }
    }
    if (durable && writtenAcknowledged != durableAcknowledged && acknowledgedFile->sync() == 0) {
        durableAcknowledged = writtenAcknowledged;
    }
}
