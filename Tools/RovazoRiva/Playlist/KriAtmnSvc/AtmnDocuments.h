// The XML documents that describe what the automation component reports: the entry document
// (payload of "AddEntry", "UpdateEntry", "RemoveEntry" and "ChangeSegment"), the playlist
// document ("AddSession") and the house-time document ("UpdateTime").
//
// Each builder writes the XML text of a fresh document from the component's objects at the
// moment it is called, straight as text (byte for byte what the XML classes write for the same
// tree). The builders keep no state and may be called
// from any thread; the event sink calls them on the component's threads.
//
// Requires: the entry, playlist and component pointers are valid objects of the component; the
// caller keeps its reference to each for the duration of the call.
#pragma once

#include <cstdint>

#include "LibraryInterfaces/String.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

// The text written for an entry's status code: "Done" ... "Pending" for 1 to 8, empty otherwise.
const char* atmnStatusText(int32_t status);

// <Entry id name status><Segment id><OnAir><Date/><Time/><Duration/></OnAir></Segment>
// <YuTrigger active="true" sent="false"/></Entry>. Holds a reference to the entry for the
// duration and frees every string it returns. If a call to the component throws, writes the
// trace line "Error in exporting xml of Entry object\n" and returns
// the document built so far.
String buildEntryXml(IAtmnEntry* entry);

// <Playlist id name><HouseTime><Date/><Time/></HouseTime></Playlist>, the house time taken from
// the component's GetHouseTime once. References, strings and failures as for buildEntryXml,
// with the same trace line.
String buildPlaylistXml(IAtmnPlaylist* playlist, IAtmnSystem* component);

// <HouseTime><Date/><Time/></HouseTime> from a house time the caller got from the component.
String buildHouseTimeXml(const AtmnDate& date, const AtmnTime& time);
