// String: the application's 8-bit, zero-terminated text with value semantics.
//
// Each String owns its characters; copies are independent. The application uses it for
// configuration values, XML names and values, session ids and every text it hands to the C-style
// interfaces (formats, sockets, COM conversion). A String is not locked: one thread at a time
// uses a given object, while separate copies may be used from different threads.
//
// Numbers become plain decimal text: a minus sign for negative values, no leading zeros, no
// grouping. Texts are compared byte for byte.
#pragma once

#include <cstdint>
#include <string>

class String {
public:
    String() = default;
    // A null text gives the empty String.
    String(const char* text);
    String(int value);
    String(unsigned int value);
    String(long value);
    String(unsigned long value);

    // 0 exactly when the two texts are equal byte for byte; otherwise negative or positive as
    // strcmp orders them. A null text compares as the empty text.
    int Compare(const char* text) const;
    // The number of characters (bytes) before the terminating zero.
    int Length() const { return static_cast<int>(text.size()); }
    // The leading decimal number of the text (after optional blanks and a sign), saturated to the
    // 32-bit range; 0 when the text does not start with a number.
    int32_t ToInt() const;
    // The characters as a zero-terminated text, valid until this String is next changed or goes.
    const char* c_str() const { return text.c_str(); }

    friend bool operator==(const String& a, const String& b) { return a.Compare(b.c_str()) == 0; }
    friend bool operator==(const String& a, const char* b) { return a.Compare(b) == 0; }

private:
    std::string text;
};
