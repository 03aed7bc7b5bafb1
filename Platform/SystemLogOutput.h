// The seam inside the system log, internal to SystemLog.cpp and SystemLog<System>.cpp: the shared
// file shapes the records and hands them to a test's writer when one is set; the system's file
// writes them to the system's log.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/SystemLog.h"

namespace platform::detail {

// Writes a record of text as it is (systemLog).
void writeRecord(const char* ident, SystemLogType type, const char* text);

// Writes an application record under its event code (systemLogEvent).
void writeCodedRecord(const char* ident, SystemLogType type, uint32_t eventId, const char* text,
                      const char* line);

// Writes a record of text, which has no line ends at either end, with raw data when rawData is
// not null (reportEvent).
void writeRecordWithData(const char* ident, SystemLogType type, const std::string& text,
                         const void* rawData, uint32_t rawDataSize);

// text, then "\nData:" and the raw data as hexadecimal bytes; text alone without raw data.
std::string withRawData(std::string text, const void* rawData, uint32_t rawDataSize);

}  // namespace platform::detail
