// Com: the stand-in for the pieces of the COM run-time that cross the plug-in boundary.
//
// BSTR is a length-prefixed UTF-16 string allocated and freed with the same rules as on
// Windows: the 32-bit byte count sits just before the characters, the characters are followed
// by a terminating zero, and a null BSTR is an empty string. A BSTR handed out through an
// out-parameter belongs to the caller, who frees it with SysFreeString. Conversions between
// UTF-16 and the 8-bit text used everywhere above the plug-in boundary (UTF-8) replace what
// cannot be converted with U+FFFD. GUIDs are read and written in registry string form,
// "{81C573AB-251F-42F2-923A-00DC3EEC2BAD}". IUnknown is the root of every plug-in interface.
//
// Every function here may be called from any thread; none keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The calling convention of COM: interface methods and a component's exported entry points are
// __stdcall on 32-bit Windows, where a component made by any compiler expects it (and MinGW's own
// default for member functions differs). Elsewhere there is one convention and the word is empty.
#if defined(_WIN32) && !defined(_WIN64)
#define KRI_COM_CALL __stdcall
#else
#define KRI_COM_CALL
#endif

namespace platform {

// Results as on Windows: negative is failure.
using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// ---- BSTR ----

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// A copy of the zero-terminated text; null for a null text or when memory runs out.
BSTR SysAllocString(const OLECHAR* text);

// A string of length characters copied from text (embedded zeros included), or of length
// zero characters when text is null; null when memory runs out or length is too large to
// hold its byte count in 32 bits.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);

// Frees a string made by the functions above; a null string is ignored.
void SysFreeString(BSTR text);

// The number of characters, from the length prefix; 0 for a null string.
uint32_t SysStringLen(BSTR text);

// How many strings made by the functions above are not yet freed, in the whole process. Lets
// tests and diagnostics see a string that was leaked or freed twice.
long liveBstrCount();

// ---- UTF-16 and UTF-8 ----

// The UTF-8 text of length UTF-16 code units. A lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const char16_t* text, std::size_t length);

// The UTF-8 text of a BSTR, all SysStringLen characters of it; empty for a null string.
std::string bstrToUtf8(BSTR text);

// The UTF-16 text of UTF-8 text. Each maximal ill-formed byte sequence becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

// A new BSTR holding the UTF-8 text converted; the caller frees it. Null when memory runs out.
BSTR bstrFromUtf8(std::string_view text);

// ---- GUID ----

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend bool operator==(const GUID&, const GUID&) = default;
};

using IID = GUID;
using CLSID = GUID;

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits of either case) into out.
// Returns S_OK, or E_INVALIDARG with out untouched when the text has any other form.
HRESULT guidFromString(std::string_view text, GUID& out);

// The registry string form, upper-case hex digits, with braces.
std::string guidToString(const GUID& guid);

// ---- IUnknown ----

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The first three slots of every plug-in interface's method table. Interfaces are classes of
// pure virtual methods and nothing else, so that their tables hold exactly the declared methods
// in the declared order. The destructor is protected and not virtual: a virtual one would add
// slots to the table, and an object is ended by its last Release, never by a delete through an
// interface pointer.
class IUnknown {
public:
    // On success stores the interface with a reference added; on failure stores null.
    virtual HRESULT KRI_COM_CALL QueryInterface(const IID& iid, void** object) = 0;
    // Both return the new reference count.
    virtual uint32_t KRI_COM_CALL AddRef() = 0;
    virtual uint32_t KRI_COM_CALL Release() = 0;

protected:
    ~IUnknown() = default;
};

}  // namespace platform
