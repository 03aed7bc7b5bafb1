#include "KRIString.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t kDefaultCharacters = 32;
}

KRIString::StringBuffer::StringBuffer(size_t length)
    : text(new char[length + 1]), capacity(length + 1) {
    text[0] = '\0';
}

KRIString::StringBuffer::StringBuffer(const char* s) : text(nullptr), capacity(std::strlen(s) + 1) {
    text = new char[capacity];
    std::memcpy(text, s, capacity);
}

KRIString::StringBuffer::~StringBuffer() {
    delete[] text;
}

void KRIString::StringBuffer::enlarge(size_t n) {
    const size_t newLength = n == 0 ? 2 * capacity : n;
    char* larger = new char[newLength + 1];
    std::strcpy(larger, text);
    delete[] text;
    text = larger;
    capacity = newLength + 1;
}

KRIString::KRIString() : buffer(new StringBuffer(kDefaultCharacters)) {}

KRIString::KRIString(const char* s, int length) {
    if (s == nullptr) {
        s = "";
    }
    const size_t n = length < 0 ? std::strlen(s) : static_cast<size_t>(length);
    buffer = new StringBuffer(n);
    // strncpy stops at the end of s and zero-fills the rest, so the text ends where s does.
    std::strncpy(buffer->text, s, n);
    buffer->text[n] = '\0';
}

KRIString::KRIString(const KRIString& other) : buffer(other.buffer) {
    buffer->refCount.fetch_add(1, std::memory_order_relaxed);
}

KRIString& KRIString::operator=(const KRIString& other) {
    // Taking the new share before giving up the old one keeps self-assignment harmless.
    other.buffer->refCount.fetch_add(1, std::memory_order_relaxed);
    release();
    buffer = other.buffer;
    return *this;
}

KRIString::~KRIString() {
    release();
}

void KRIString::release() {
    // acq_rel: the last holder must see every other holder's reads of the text finished before
    // it frees the buffer.
    if (buffer->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete buffer;
    }
}

void KRIString::makePrivate() {
    // The acquire pairs with the release in another holder's release(): once that holder has
    // let go, its last reads of the text happen before this handle writes to it in place.
    if (buffer->refCount.load(std::memory_order_acquire) < 2) {
        return;
    }
    StringBuffer* copy = new StringBuffer(buffer->text);
    release();
    buffer = copy;
}

unsigned KRIString::length() const {
    return static_cast<unsigned>(std::strlen(buffer->text));
}

int KRIString::compare(const KRIString& other) const {
    return std::strcmp(buffer->text, other.buffer->text);
}

int KRIString::find(const KRIString& needle, unsigned start) const {
    if (start > length()) {
        return -1;
    }
    const char* found = std::strstr(buffer->text + start, needle.buffer->text);
    return found == nullptr ? -1 : static_cast<int>(found - buffer->text);
}

KRIString& KRIString::operator+=(const KRIString& other) {
    if (other.buffer == buffer) {
        // Reallocating frees the array other reads from: append a separate copy instead.
        const KRIString separate(other.c_str());
        return *this += separate;
    }
    makePrivate();
    const size_t ownLength = length();
    const size_t otherLength = other.length();
    buffer->enlarge(ownLength + otherLength + 1);
    std::memcpy(buffer->text + ownLength, other.buffer->text, otherLength + 1);
    return *this;
}

KRIString operator+(const KRIString& a, const KRIString& b) {
    const unsigned aLength = a.length();
    const unsigned bLength = b.length();
    KRIString sum(a.c_str(), static_cast<int>(aLength + bLength));
    std::memcpy(sum.buffer->text + aLength, b.c_str(), bLength + 1);
    return sum;
}

KRIString KRIString::substring(unsigned offset, unsigned count) const {
    const unsigned total = length();
    if (offset > total) {
        return KRIString("");
    }
    return KRIString(buffer->text + offset, static_cast<int>(std::min(count, total - offset)));
}

const char* KRIString::format(const char* fmt, ...) {
    makePrivate();
    va_list args;
    va_start(args, fmt);
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        const int needed = std::vsnprintf(buffer->text, buffer->capacity, fmt, attempt);
        va_end(attempt);
        if (needed < 0) {
            // An encoding error never fits however large the buffer grows.
            buffer->text[0] = '\0';
            break;
        }
        if (static_cast<size_t>(needed) < buffer->capacity) {
            break;
        }
        buffer->text[0] = '\0';
        buffer->enlarge(0);
    }
    va_end(args);
    buffer->text[buffer->capacity - 1] = '\0';
    return buffer->text;
}
