// The sources a CXMLDoc parses: CFileXMLSrc reads a named file, CMemXMLSrc reads text held in
// memory. CXMLSrc is their common base, which CXMLDoc::Parse takes.
//
// A source is owned by its caller and used by one thread at a time. Setting the path or the text
// only records it; the file is opened and read when a document parses the source, and again at
// every later parse.
#pragma once

#include <cstddef>
#include <string>

#include "LibraryInterfaces/String.h"

class CXMLSrc {
public:
    // The longest text a document may have (as the longest message of the wire); a file source
    // reads no more than one byte beyond it.
    static constexpr size_t kMaxTextBytes = 16 * 1024 * 1024;

    virtual ~CXMLSrc() = default;
    // The whole text of the source. Throws CXMLException when it cannot be read.
    virtual std::string ReadAll() const = 0;
    // Where the text comes from, for messages: "file 'path'" or "memory text".
    virtual std::string Describe() const = 0;
};

// Reads regular files only: a FIFO, a device or a directory is refused.
class CFileXMLSrc : public CXMLSrc {
public:
    void SetFilePath(String path) { filePath = std::move(path); }
    std::string ReadAll() const override;
    std::string Describe() const override;

private:
    String filePath;
};

class CMemXMLSrc : public CXMLSrc {
public:
    void SetMemPtr(String text) { memText = std::move(text); }
    std::string ReadAll() const override { return memText.c_str(); }
    std::string Describe() const override { return "memory text"; }

private:
    String memText;
};
