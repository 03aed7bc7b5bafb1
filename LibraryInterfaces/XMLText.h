// Checks and clean-ups that keep every document the XML classes build writable as well-formed
// XML. Internal to the XML classes; callable from any thread.
#pragma once

#include <string>

namespace xmltext {

// True when the text can serve as an element or attribute name: a letter, '_', ':' or a
// non-ASCII byte first, then letters, digits, '.', '-', '_', ':' or non-ASCII bytes.
bool isName(const char* text);

// The text with every control character that XML 1.0 cannot carry (bytes 1 to 31 other than
// tab, line feed and carriage return) replaced by U+FFFD in UTF-8.
std::string carriable(const char* text);

// carriable(text) with its line ends as XML readers give them back: CR LF and a lone CR become LF.
std::string carriableWithLineFeeds(const char* text);

}  // namespace xmltext
