// BSTRs on Windows are oleaut32's, so that strings cross the plug-in boundary with a real COM
// component. OLECHAR is char16_t here and wchar_t in Windows' headers: both are UTF-16 code units
// of two bytes. The count of live strings covers the strings made and freed through these
// functions; a component's own calls to oleaut32 do not pass through them.
#include "Platform/Com.h"

#include <windows.h>
// After windows.h, which it needs.
#include <oleauto.h>

#include <atomic>

namespace platform {

namespace {

static_assert(sizeof(OLECHAR) == sizeof(::OLECHAR), "BSTR characters are UTF-16 code units");

std::atomic<long> liveBstrs{0};

::BSTR windowsString(BSTR text) {
    return reinterpret_cast<::BSTR>(text);
}

BSTR counted(::BSTR text) {
    if (text != nullptr) {
        liveBstrs.fetch_add(1, std::memory_order_relaxed);
    }
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return counted(::SysAllocString(reinterpret_cast<const ::OLECHAR*>(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    // oleaut32 keeps the byte count in 32 bits, as the Linux allocator does.
    if (length > 0x7FFFFFFFu) {
        return nullptr;
    }
    return counted(::SysAllocStringLen(reinterpret_cast<const ::OLECHAR*>(text), length));
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        liveBstrs.fetch_sub(1, std::memory_order_relaxed);
        ::SysFreeString(windowsString(text));
    }
}

long liveBstrCount() {
    return liveBstrs.load(std::memory_order_relaxed);
}

uint32_t SysStringLen(BSTR text) {
    return ::SysStringLen(windowsString(text));
}

}  // namespace platform
