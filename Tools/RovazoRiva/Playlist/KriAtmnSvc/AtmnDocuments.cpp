#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"

#include <array>
#include <string>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/Com.h"
#include "Tools/RovazoRiva/Common/TransactionWriter.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/ComponentScope.h"

namespace {

const char kAtmnDocumentsUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments";

// Writes elements straight as text, exactly as the XML classes write the same tree: a start tag
// stays open for attributes until the element gets a child or ends, and an element without
// children ends as "/>". finish() ends the elements still open, so that a document whose
// building stopped half-way is still whole.
class ElementWriter {
public:
    explicit ElementWriter(std::string& out) : out(out) {}

    void open(const char* name) {
        endStartTag();
        out += '<';
        out += name;
        names[depth++] = name;
        startTagOpen = true;
    }
    void attribute(const char* name, const char* value) {
        out += ' ';
        out += name;
        out += "=\"";
        transactionwriter::appendAttribute(out, value);
        out += '"';
    }
    void attribute(const char* name, int value) { attribute(name, std::to_string(value).c_str()); }
    void close() {
        --depth;
        if (startTagOpen) {
            out += "/>";
            startTagOpen = false;
        } else {
            out += "</";
            out += names[depth];
            out += '>';
        }
    }
    void finish() {
        while (depth > 0) {
            close();
        }
    }

private:
    void endStartTag() {
        if (startTagOpen) {
            out += '>';
            startTagOpen = false;
        }
    }

    std::string& out;
    // The documents are four elements deep at most.
    std::array<const char*, 4> names{};
    size_t depth = 0;
    bool startTagOpen = false;
};

void writeDate(ElementWriter& xml, const AtmnDate& date) {
    xml.open("Date");
    xml.attribute("year", date.year);
    xml.attribute("month", date.month);
    xml.attribute("day", date.day);
    xml.close();
}

void writeTime(ElementWriter& xml, const char* name, const AtmnTime& time) {
    xml.open(name);
    xml.attribute("hh", time.hh);
    xml.attribute("mm", time.mm);
    xml.attribute("ss", time.ss);
    xml.attribute("ff", time.ff);
    xml.close();
}

// Every value the component is asked for starts out as 0, so a component that leaves one
// untouched gives "0" and never a value left over in memory. Each element is opened before the
// component is asked for what goes into it, so a failing call leaves the elements so far.
void writeEntry(IAtmnEntry* entry, ElementWriter& xml) {
    xml.attribute("id", idOf(entry).c_str());
    xml.attribute("name", nameOf(entry).c_str());
    int32_t status = 0;
    entry->GetStatus(&status);
    xml.attribute("status", atmnStatusText(status));

    int32_t segmentNumber = 0;
    entry->GetSegment(&segmentNumber);
    xml.open("Segment");
    xml.attribute("id", segmentNumber);
    xml.open("OnAir");
    AtmnDate date{};
    entry->GetOnAirDate(&date);
    writeDate(xml, date);
    AtmnTime time{};
    entry->GetOnAirTime(&time);
    writeTime(xml, "Time", time);
    AtmnTime duration{};
    entry->GetDuration(&duration);
    writeTime(xml, "Duration", duration);
    xml.close();
    xml.close();

    xml.open("YuTrigger");
    xml.attribute("active", "true");
    xml.attribute("sent", "false");
    xml.close();
}

void writePlaylist(IAtmnPlaylist* playlist, IAtmnSystem* component, ElementWriter& xml) {
    xml.attribute("id", playlist->GetId());
    xml.attribute("name", nameOf(playlist).c_str());
    xml.open("HouseTime");
    AtmnDate date{};
    AtmnTime time{};
    component->GetHouseTime(&date, &time);
    writeDate(xml, date);
    writeTime(xml, "Time", time);
    xml.close();
}

}  // namespace

const char* atmnStatusText(int32_t status) {
    switch (status) {
        case kAtmnStatusDone:
            return "Done";
        case kAtmnStatusRunning:
            return "Running";
        case kAtmnStatusPrerolled:
            return "Prerolled";
        case kAtmnStatusPostrolled:
            return "Postrolled";
        case kAtmnStatusStandby:
            return "Standby";
        case kAtmnStatusNotPlayed:
            return "NotPlayed";
        case kAtmnStatusSkipped:
            return "Skipped";
        case kAtmnStatusPending:
            return "Pending";
        default:
            return "";
    }
}

String buildEntryXml(IAtmnEntry* entry) {
    HeldReference<IAtmnEntry> hold(entry);
    std::string text;
    ElementWriter xml(text);
    xml.open("Entry");
    try {
        writeEntry(entry, xml);
    } catch (...) {
        KRI_TRACE(kAtmnDocumentsUnit, "Error in exporting xml of Entry object\n");
    }
    xml.finish();
    return String(text.c_str());
}

String buildPlaylistXml(IAtmnPlaylist* playlist, IAtmnSystem* component) {
    HeldReference<IAtmnPlaylist> hold(playlist);
    std::string text;
    ElementWriter xml(text);
    xml.open("Playlist");
    try {
        writePlaylist(playlist, component, xml);
    } catch (...) {
        KRI_TRACE(kAtmnDocumentsUnit, "Error in exporting xml of Entry object\n");
    }
    xml.finish();
    return String(text.c_str());
}

String buildHouseTimeXml(const AtmnDate& date, const AtmnTime& time) {
    std::string text;
    ElementWriter xml(text);
    xml.open("HouseTime");
    writeDate(xml, date);
    writeTime(xml, "Time", time);
    xml.close();
    return String(text.c_str());
}
