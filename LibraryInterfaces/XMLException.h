// CXMLException: what the XML classes throw when a source cannot be read, its text is not
// well-formed XML, or a document would be built that could not be written as well-formed XML.
//
// The message names the operation and the cause, with the file and the offset of a parse error
// where there is one ("CXMLDoc::Parse(): Start-end tags mismatch at offset 12 of file 'a.xml'.").
#pragma once

#include <stdexcept>
#include <string>

class CXMLException : public std::runtime_error {
public:
    explicit CXMLException(const std::string& message) : std::runtime_error(message) {}
};
