#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Platform/Com.h"

// The string allocator of the Linux build, in the shared library kricom; the UTF and GUID
// functions are in Com.cpp.

namespace platform {

namespace {

// The byte count is kept in the four bytes before the first character, as on Windows.
using BstrPrefix = uint32_t;
constexpr uint32_t kMaxBstrLength = 0x7FFFFFFFu;  // so that the byte count fits in 32 bits

std::atomic<long> liveBstrs{0};

BstrPrefix* prefixOf(BSTR text) {
    return reinterpret_cast<BstrPrefix*>(text) - 1;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<uint32_t>(std::char_traits<char16_t>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    if (length > kMaxBstrLength) {
        return nullptr;
    }
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
    void* block = std::malloc(sizeof(BstrPrefix) + bytes + sizeof(OLECHAR));
    if (block == nullptr) {
        return nullptr;
    }
    *static_cast<BstrPrefix*>(block) = static_cast<BstrPrefix>(bytes);
    BSTR chars = reinterpret_cast<BSTR>(static_cast<BstrPrefix*>(block) + 1);
    if (text != nullptr) {
        std::memcpy(chars, text, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[length] = 0;
    liveBstrs.fetch_add(1, std::memory_order_relaxed);
    return chars;
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        liveBstrs.fetch_sub(1, std::memory_order_relaxed);
        std::free(prefixOf(text));
    }
}

long liveBstrCount() {
    return liveBstrs.load(std::memory_order_relaxed);
}

uint32_t SysStringLen(BSTR text) {
    return text == nullptr ? 0 : *prefixOf(text) / sizeof(OLECHAR);
}

}  // namespace platform
