// KRIString: the utility library's text type, a handle to a shared, reference-counted buffer.
//
// Copying a handle costs one atomic increment and never copies characters; a handle copies the
// characters only when it is about to change text it shares with another handle (copy on write).
// Each handle owns one share of its buffer; the last handle to let go destroys the buffer. A
// handle never holds a null buffer, and the length of the text is not stored: it is the position
// of the first zero byte.
//
// Handles that share one buffer may be copied, read, changed and destroyed on different threads.
// A single handle belongs to one thread at a time; the type has no lock.
// Requires: a handle is not used by two threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class KRIString {
public:
    // The shared characters. Handles change `refCount` with atomic operations only, and change
    // `text` only while they hold the sole share.
    class StringBuffer {
    public:
        // Room for `length` characters (length + 1 bytes), text empty.
        explicit StringBuffer(size_t length);
        // A copy of `s`, terminator included, in exactly strlen(s) + 1 bytes.
        explicit StringBuffer(const char* s);
        virtual ~StringBuffer();
        StringBuffer(const StringBuffer&) = delete;
        StringBuffer& operator=(const StringBuffer&) = delete;

        // Reallocates `text` for `n` characters (n == 0: for 2 x capacity characters), keeping
        // the text; reallocates even when the buffer is already large enough.
        // Requires: the text fits in n characters.
        void enlarge(size_t n);

        std::atomic<int32_t> refCount{1};
        char* text;
        size_t capacity;  // bytes allocated for text, terminator included
    };

    // An empty text with room for 32 characters.
    KRIString();
    // The first `length` characters of `s` (all of `s` if it is shorter) in a buffer made for
    // `length` characters; a negative `length` takes all of `s`. A null `s` is an empty text.
    KRIString(const char* s, int length = -1);  // NOLINT: implicit from text by design
    KRIString(const KRIString& other);
    KRIString& operator=(const KRIString& other);
    virtual ~KRIString();

    // Valid while this handle lives and is not changed.
    const char* c_str() const { return buffer->text; }
    // Counted on each call.
    unsigned length() const;
    // Requires: i <= length() (position length() is the terminator).
    const char& charAt(unsigned i) const { return buffer->text[i]; }

    // Byte-wise comparison of the texts as unsigned characters: negative, zero or positive.
    virtual int compare(const KRIString& other) const;
    // Position (from the beginning of the text) of the first occurrence of `needle` at or after
    // `start`, or -1. An empty needle is found at `start`; a `start` past the end finds nothing.
    virtual int find(const KRIString& needle, unsigned start) const;

    // Appends `other` (which may be this string) after reallocating the private buffer for
    // exactly the combined length + 1 characters.
    KRIString& operator+=(const KRIString& other);
    // At most `count` characters starting at `offset`; an `offset` past the end gives an empty
    // string.
    KRIString substring(unsigned offset, unsigned count) const;
    // Replaces the text with the printf-style output, growing the buffer by doubling until it
    // fits, and returns the text. A format the formatter rejects leaves the text empty.
    const char* format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // The buffer this handle shares, for reading its share count and capacity.
    const StringBuffer& sharedBuffer() const { return *buffer; }

    friend KRIString operator+(const KRIString& a, const KRIString& b);

private:
    // Ensures this handle holds the only share of its buffer, copying the text when shared.
    void makePrivate();
    void release();

    StringBuffer* buffer;
};

// a's text followed by b's text; neither operand changes.
KRIString operator+(const KRIString& a, const KRIString& b);

inline bool operator==(const KRIString& a, const KRIString& b) {
    return a.compare(b) == 0;
}
inline bool operator!=(const KRIString& a, const KRIString& b) {
    return a.compare(b) != 0;
}
