#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

using namespace platform;

namespace {

// A BSTR freed at the end of the scope.
struct OwnedBstr {
    BSTR text;
    explicit OwnedBstr(BSTR t) : text(t) {}
    ~OwnedBstr() { SysFreeString(text); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
};

TEST(Bstr, AllocationKeepsLengthTerminatorAndEmbeddedZeros) {
    OwnedBstr hello(SysAllocString(u"Hello"));
    ASSERT_NE(hello.text, nullptr);
    EXPECT_EQ(SysStringLen(hello.text), 5u);
    EXPECT_EQ(std::u16string(hello.text), u"Hello");
    // The byte count sits in the four bytes before the characters.
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(hello.text) - 4, sizeof prefix);
    EXPECT_EQ(prefix, 10u);

    const char16_t withZero[] = {u'a', 0, u'b'};
    OwnedBstr counted(SysAllocStringLen(withZero, 3));
    ASSERT_NE(counted.text, nullptr);
    EXPECT_EQ(SysStringLen(counted.text), 3u);
    EXPECT_EQ(std::u16string(counted.text, 3), std::u16string(withZero, 3));
    EXPECT_EQ(counted.text[3], 0);
}

TEST(Bstr, NullAndEmptyStrings) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);

    OwnedBstr empty(SysAllocString(u""));
    ASSERT_NE(empty.text, nullptr);
    EXPECT_EQ(SysStringLen(empty.text), 0u);
    EXPECT_EQ(empty.text[0], 0);

    OwnedBstr blank(SysAllocStringLen(nullptr, 4));
    ASSERT_NE(blank.text, nullptr);
    EXPECT_EQ(SysStringLen(blank.text), 4u);
    EXPECT_EQ(std::u16string(blank.text, 5), std::u16string(5, u'\0'));

    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(bstrToUtf8(nullptr), "");
}

TEST(Bstr, LiveCountFollowsAllocationAndFree) {
    const long before = liveBstrCount();
    BSTR first = SysAllocString(u"one");
    BSTR second = bstrFromUtf8("two");
    EXPECT_EQ(liveBstrCount(), before + 2);
    SysFreeString(first);
    SysFreeString(nullptr);
    EXPECT_EQ(liveBstrCount(), before + 1);
    SysFreeString(second);
    EXPECT_EQ(liveBstrCount(), before);
}

TEST(Utf, RoundTripOfBmpAndNonBmpText) {
    const std::string text = "Nachrichten \xC3\xBC \xE2\x82\xAC \xF0\x9F\x8E\xAC end";  // ü € 🎬
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Nachrichten \u00FC \u20AC \U0001F3AC end");
    EXPECT_EQ(utf16ToUtf8(wide.data(), wide.size()), text);

    OwnedBstr converted(bstrFromUtf8(text));
    ASSERT_NE(converted.text, nullptr);
    EXPECT_EQ(SysStringLen(converted.text), wide.size());
    EXPECT_EQ(bstrToUtf8(converted.text), text);
}

TEST(Utf, LoneSurrogatesBecomeReplacementWithoutLosingTheRest) {
    const std::string replacement = "\xEF\xBF\xBD";
    const char16_t loneHigh[] = {u'a', 0xD83C, u'b'};
    EXPECT_EQ(utf16ToUtf8(loneHigh, 3), "a" + replacement + "b");
    const char16_t loneLow[] = {0xDF2C, u'z'};
    EXPECT_EQ(utf16ToUtf8(loneLow, 2), replacement + "z");
    const char16_t highAtEnd[] = {u'x', 0xD800};
    EXPECT_EQ(utf16ToUtf8(highAtEnd, 2), "x" + replacement);
    const char16_t reversedPair[] = {0xDC00, 0xD800, u'!'};
    EXPECT_EQ(utf16ToUtf8(reversedPair, 3), replacement + replacement + "!");

    OwnedBstr fromComponent(SysAllocStringLen(loneHigh, 3));
    EXPECT_EQ(bstrToUtf8(fromComponent.text), "a" + replacement + "b");
}

TEST(Utf, IllFormedUtf8BecomesReplacementPerMaximalSubpart) {
    const std::u16string r(1, u'\uFFFD');
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a" + r + u"b");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), r + r);  // overlong lead bytes never start a sequence
    EXPECT_EQ(utf8ToUtf16("\xE2\x82"), r);      // cut short at the end
    EXPECT_EQ(utf8ToUtf16("\xE2\x82"
                          "A"),
              r + u"A");                                        // cut short by an ASCII byte
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), r + r + r);          // an encoded surrogate
    EXPECT_EQ(utf8ToUtf16("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
    EXPECT_EQ(utf8ToUtf16("\x80"), r);
}

TEST(Guid, RegistryStringRoundTrip) {
    GUID guid{};
    ASSERT_EQ(guidFromString("{81C573AB-251F-42F2-923A-00DC3EEC2BAD}", guid), S_OK);
    EXPECT_EQ(guid, IID_IAtmnUnknown);
    EXPECT_EQ(guidToString(guid), "{81C573AB-251F-42F2-923A-00DC3EEC2BAD}");

    ASSERT_EQ(guidFromString("{91fa2c6e-7563-4537-a063-2ff373d9734c}", guid), S_OK);
    EXPECT_EQ(guid, IID_IAtmnAdvise);
    EXPECT_EQ(guidToString(guid), "{91FA2C6E-7563-4537-A063-2FF373D9734C}");

    EXPECT_EQ(guidToString(IID_IAtmnHost), "{678C81B0-212E-4399-95A3-B0EADD508726}");
    EXPECT_EQ(guidToString(IID_IAtmnEvents), "{10B29282-8C4C-4AFE-8B83-D73F5739A36E}");
    EXPECT_EQ(guidToString(IID_IAtmnSystem), "{F0C31608-C5D8-49B6-BD9A-B0E1BB2A8671}");
    EXPECT_EQ(guidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_FALSE(IID_IAtmnUnknown == IID_IUnknown);
}

TEST(Guid, MalformedStringsFailAndLeaveTheResultAlone) {
    const char* malformed[] = {
        "",
        "81C573AB-251F-42F2-923A-00DC3EEC2BAD",     // no braces
        "{81C573AB-251F-42F2-923A-00DC3EEC2BAD",    // no closing brace
        "{81C573AB-251F-42F2-923A-00DC3EEC2BAD}x",  // trailing text
        "{81C573AB-251F-42F2-923A00DC3EEC2BAD0}",   // hyphen missing
        "{81C573AB-251F-42F2-923A-00DC3EEC2BAG}",   // not a hex digit
        "{+1C573AB-251F-42F2-923A-00DC3EEC2BAD}",   // sign
        "{81C573AB-251F-42F2-923A-00DC3EEC2BA}",    // one digit short
        "{0x1C573A-251F-42F2-923A-00DC3EEC2BAD}",   // hex prefix
        "Kri.AtmnSimulator",                        // a ProgId is not a GUID
    };
    for (const char* text : malformed) {
        GUID guid = IID_IAtmnHost;
        EXPECT_EQ(guidFromString(text, guid), E_INVALIDARG) << text;
        EXPECT_EQ(guid, IID_IAtmnHost) << text;
    }
}

// The tables are shared with separately built components, so the slot of each method is part
// of the contract. Each fake records which method ran; the test calls the tables by slot
// number the way a component built elsewhere would.
struct SlotRecorder {
    std::string last;
};

class RecordingEntry : public IAtmnEntry {
public:
    explicit RecordingEntry(SlotRecorder& r) : r_(r) {}
    HRESULT KRI_COM_CALL QueryInterface(const IID&, void**) override {
        return note("QueryInterface");
    }
    uint32_t KRI_COM_CALL AddRef() override { return static_cast<uint32_t>(note("AddRef")); }
    uint32_t KRI_COM_CALL Release() override { return static_cast<uint32_t>(note("Release")); }
    HRESULT KRI_COM_CALL GetId(BSTR*) override { return note("GetId"); }
    HRESULT KRI_COM_CALL GetName(BSTR*) override { return note("GetName"); }
    HRESULT KRI_COM_CALL GetSegment(int32_t*) override { return note("GetSegment"); }
    HRESULT KRI_COM_CALL GetStatus(int32_t*) override { return note("GetStatus"); }
    HRESULT KRI_COM_CALL UnnamedEntryMethod() override { return note("unnamed"); }
    HRESULT KRI_COM_CALL GetOnAirTime(AtmnTime*) override { return note("GetOnAirTime"); }
    HRESULT KRI_COM_CALL GetDuration(AtmnTime*) override { return note("GetDuration"); }
    HRESULT KRI_COM_CALL GetOnAirDate(AtmnDate*) override { return note("GetOnAirDate"); }

private:
    HRESULT note(const char* name) {
        r_.last = name;
        return 0;
    }
    SlotRecorder& r_;
};

class RecordingUnknown : public IAtmnUnknown {
public:
    explicit RecordingUnknown(SlotRecorder& r) : r_(r) {}
    HRESULT KRI_COM_CALL QueryInterface(const IID&, void**) override {
        return note("QueryInterface");
    }
    uint32_t KRI_COM_CALL AddRef() override { return static_cast<uint32_t>(note("AddRef")); }
    uint32_t KRI_COM_CALL Release() override { return static_cast<uint32_t>(note("Release")); }
    void DestroySelf() override { note("destructor"); }

private:
    HRESULT note(const char* name) {
        r_.last = name;
        return 0;
    }
    SlotRecorder& r_;
};

template <typename Interface>
std::string methodInSlot(Interface& object, SlotRecorder& recorder, int slot) {
    using Slot = void (*)(Interface*);
    Slot* table = *reinterpret_cast<Slot**>(&object);
    recorder.last.clear();
    table[slot](&object);
    return recorder.last;
}

TEST(AtmnInterfaces, MethodTablesKeepTheDeclaredOrder) {
    SlotRecorder recorder;
    RecordingEntry entry(recorder);
    const char* entrySlots[] = {"QueryInterface", "AddRef",      "Release",     "GetId",
                                "GetName",        "GetSegment",  "GetStatus",   "unnamed",
                                "GetOnAirTime",   "GetDuration", "GetOnAirDate"};
    for (int slot = 0; slot < 11; ++slot) {
        EXPECT_EQ(methodInSlot<IAtmnEntry>(entry, recorder, slot), entrySlots[slot]) << slot;
    }

    RecordingUnknown unknown(recorder);
    const char* unknownSlots[] = {"QueryInterface", "AddRef", "Release", "destructor"};
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(methodInSlot<IAtmnUnknown>(unknown, recorder, slot), unknownSlots[slot]) << slot;
    }
}

}  // namespace
