#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/KriErr.h"
#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/ComponentScope.h"

namespace {

const char kAtmnDocumentsUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments";

void appendDate(CElementNode& parent, const AtmnDate& date) {
    CElementNode element = parent.AppendChild(CElementNode("Date"));
    element.AddAttribute("year", String(date.year));
    element.AddAttribute("month", String(date.month));
    element.AddAttribute("day", String(date.day));
}

void appendTime(CElementNode& parent, const char* name, const AtmnTime& time) {
    CElementNode element = parent.AppendChild(CElementNode(name));
    element.AddAttribute("hh", String(time.hh));
    element.AddAttribute("mm", String(time.mm));
    element.AddAttribute("ss", String(time.ss));
    element.AddAttribute("ff", String(time.ff));
}

// Every value the component is asked for starts out as 0, so a component that leaves one
// untouched gives "0" and never a value left over in memory.
void fillEntry(IAtmnEntry* entry, CElementNode& root) {
    root.AddAttribute("id", idOf(entry));
    root.AddAttribute("name", nameOf(entry));
    int32_t status = 0;
    entry->GetStatus(&status);
    root.AddAttribute("status", atmnStatusText(status));

    int32_t segmentNumber = 0;
    entry->GetSegment(&segmentNumber);
    CElementNode segment = root.AppendChild(CElementNode("Segment"));
    segment.AddAttribute("id", String(segmentNumber));
    CElementNode onAir = segment.AppendChild(CElementNode("OnAir"));

    AtmnDate date{};
    entry->GetOnAirDate(&date);
    appendDate(onAir, date);
    AtmnTime time{};
    entry->GetOnAirTime(&time);
    appendTime(onAir, "Time", time);
    AtmnTime duration{};
    entry->GetDuration(&duration);
    appendTime(onAir, "Duration", duration);

    CElementNode trigger = root.AppendChild(CElementNode("YuTrigger"));
    trigger.AddAttribute("active", "true");
    trigger.AddAttribute("sent", "false");
}

void fillPlaylist(IAtmnPlaylist* playlist, IAtmnSystem* component, CElementNode& root) {
    root.AddAttribute("id", String(playlist->GetId()));
    root.AddAttribute("name", nameOf(playlist));
    CElementNode houseTime = root.AppendChild(CElementNode("HouseTime"));
    AtmnDate date{};
    AtmnTime time{};
    component->GetHouseTime(&date, &time);
    appendDate(houseTime, date);
    appendTime(houseTime, "Time", time);
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
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("Entry");
    try {
        fillEntry(entry, root);
    } catch (...) {
        KRI_TRACE(kAtmnDocumentsUnit, "Error in exporting xml of Entry object\n");
    }
    return root.GetXml();
}

String buildPlaylistXml(IAtmnPlaylist* playlist, IAtmnSystem* component) {
    HeldReference<IAtmnPlaylist> hold(playlist);
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("Playlist");
    try {
        fillPlaylist(playlist, component, root);
    } catch (...) {
        KRI_TRACE(kAtmnDocumentsUnit, "Error in exporting xml of Entry object\n");
    }
    return root.GetXml();
}

String buildHouseTimeXml(const AtmnDate& date, const AtmnTime& time) {
    CXMLDoc doc;
    CElementNode root = doc.CreateRootElement("HouseTime");
    appendDate(root, date);
    appendTime(root, "Time", time);
    return root.GetXml();
}
