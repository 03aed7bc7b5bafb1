#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "Platform/ComRuntime.h"
#include "Platform/Registry.h"
#include "Plugins/TestGreeter.h"
#include "TempRegistry.h"

using namespace platform;

namespace {

const std::string kGreeterPlugin = KRI_TEST_GREETER_PLUGIN;
const std::string kNoEntryPlugin = KRI_TEST_NO_ENTRY_PLUGIN;
const std::string kThrowingRegistrationPlugin = KRI_TEST_THROWING_REGISTRATION_PLUGIN;

void setClassesDefault(const std::string& subKey, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), KEY_WRITE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                             static_cast<uint32_t>(text.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void registerServerPath(const CLSID& clsid, const std::string& path) {
    setClassesDefault("CLSID\\" + guidToString(clsid) + "\\InprocServer32", path);
}

bool isMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    const std::string text((std::istreambuf_iterator<char>(maps)),
                           std::istreambuf_iterator<char>());
    return text.find(path) != std::string::npos;
}

// COM initialised on the test's thread and a registry with the greeter plug-in registered.
class ComRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(registerServer(kGreeterPlugin), S_OK);
        ASSERT_GE(CoInitialize(nullptr), 0);
    }
    void TearDown() override { CoUninitialize(); }

    HRESULT create(const CLSID& clsid, void** object, const IID& iid = IID_ITestGreeter) {
        *object = reinterpret_cast<void*>(this);  // must be overwritten, with null on failure
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
    }

    TempRegistry registry_;
};

TEST_F(ComRuntime, RegisteredPluginIsFoundByProgIdCreatedAndUsed) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Kri.TestGreeter", &clsid), S_OK);
    EXPECT_EQ(clsid, kGreeterClass);
    // ProgIds are key names, matched without regard to case.
    ASSERT_EQ(CLSIDFromProgID(u"kri.testgreeter", &clsid), S_OK);

    void* object = nullptr;
    ASSERT_EQ(create(clsid, &object), S_OK);
    ASSERT_NE(object, nullptr);
    auto* greeter = static_cast<ITestGreeter*>(object);
    EXPECT_EQ(greeter->LiveObjects(), 1);

    // A string made by the plug-in is freed by the program through the one shared allocator.
    const long liveBefore = liveBstrCount();
    BSTR name = bstrFromUtf8("Studio 3");
    BSTR greeting = nullptr;
    ASSERT_EQ(greeter->Greet(name, &greeting), S_OK);
    EXPECT_EQ(bstrToUtf8(greeting), "Hello from Studio 3");
    SysFreeString(greeting);
    SysFreeString(name);
    EXPECT_EQ(liveBstrCount(), liveBefore);

    EXPECT_EQ(greeter->Release(), 0u);
}

TEST_F(ComRuntime, ProgIdsThatNameNoClassAreClassStringFailures) {
    setClassesDefault("Kri.Garbled\\CLSID", "not a class identifier");
    CLSID clsid = kGreeterClass;
    for (const char16_t* progId : {u"Kri.Unknown", u"", u"Kri.TestGreeter\\CLSID", u"Kri.Garbled",
                                   u"..\\HKEY_CLASSES_ROOT"}) {
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), CO_E_CLASSSTRING);
    }
    EXPECT_EQ(clsid, kGreeterClass);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST_F(ComRuntime, ClassStringsOtherThanTheRegistryFormAreRefused) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"{5b7e3a11-4c2d-4e8f-9a61-0d2b3c4e5f60}", &clsid), S_OK);
    EXPECT_EQ(clsid, kGreeterClass);

    const CLSID untouched = kThrowingClass;
    clsid = untouched;
    for (const char16_t* text :
         {u"", u"5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5F60", u"{5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5F6}",
          u"{5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5F600}", u"{5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5FGG}",
          u"{5B7E3A11 4C2D 4E8F 9A61 0D2B3C4E5F60}", u"{5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5F60} ",
          u"Kri.TestGreeter", u"{5B7E3A11-4C2D-4E8F-9A61-0D2B3C4E5F6\u0660}"}) {
        EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING)
            << utf16ToUtf8(text, std::char_traits<char16_t>::length(text));
    }
    EXPECT_EQ(clsid, untouched);
}

TEST_F(ComRuntime, ClassesWithoutAUsableServerFailWithoutAnObject) {
    const CLSID missingFile = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 1}};
    const CLSID notALibrary = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 2}};
    const CLSID emptyPath = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 3}};
    const CLSID notServed = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 4}};
    const CLSID unregistered = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 5}};
    registerServerPath(missingFile, (registry_.root() / "gone" / "libGone.so").string());
    registry_.writeFile("text.so", "this is not a shared object");
    registerServerPath(notALibrary, (registry_.root() / "text.so").string());
    registerServerPath(emptyPath, "");
    registerServerPath(notServed, kGreeterPlugin);
    ASSERT_EQ(registerServer(kNoEntryPlugin), S_OK);

    struct Case {
        const CLSID& clsid;
        HRESULT expected;
    };
    const Case cases[] = {
        {unregistered, REGDB_E_CLASSNOTREG}, {emptyPath, REGDB_E_CLASSNOTREG},
        {missingFile, kModuleNotFound},      {notALibrary, CO_E_ERRORINDLL},
        {kNoEntryClass, kProcedureNotFound}, {notServed, CLASS_E_CLASSNOTAVAILABLE},
        {kThrowingClass, E_UNEXPECTED},      {kFailingClass, kGreeterFactoryFailure},
        {kNullObjectClass, E_UNEXPECTED},
    };
    for (const Case& c : cases) {
        void* object = nullptr;
        EXPECT_EQ(create(c.clsid, &object), c.expected) << guidToString(c.clsid);
        EXPECT_EQ(object, nullptr);
    }
}

TEST_F(ComRuntime, CreationFollowsTheFactoryAndTheCallersArguments) {
    void* object = nullptr;
    EXPECT_EQ(create(kGreeterClass, &object, IID_IClassFactory), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    auto* outer = reinterpret_cast<IUnknown*>(&object);
    EXPECT_EQ(
        CoCreateInstance(kGreeterClass, outer, CLSCTX_INPROC_SERVER, IID_ITestGreeter, &object),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(
        CoCreateInstance(kGreeterClass, nullptr, 0x4 /* local server */, IID_ITestGreeter, &object),
        REGDB_E_CLASSNOTREG);
    EXPECT_EQ(
        CoCreateInstance(kGreeterClass, nullptr, CLSCTX_INPROC_SERVER, IID_ITestGreeter, nullptr),
        E_POINTER);
}

TEST_F(ComRuntime, InitialisationCountsPerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();

    HRESULT withoutInit = S_OK;
    HRESULT firstInit = S_FALSE;
    void* object = nullptr;
    std::thread other([&] {
        withoutInit = CoCreateInstance(kGreeterClass, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ITestGreeter, &object);
        firstInit = CoInitialize(nullptr);
        CoUninitialize();
    });
    other.join();
    EXPECT_EQ(withoutInit, CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(firstInit, S_OK);
}

TEST_F(ComRuntime, PluginStaysLoadedWhileItsObjectsLive) {
    void* object = nullptr;
    ASSERT_EQ(create(kGreeterClass, &object), S_OK);
    auto* greeter = static_cast<ITestGreeter*>(object);

    // The last CoUninitialize of the process must not take the object's code away.
    CoUninitialize();
    EXPECT_TRUE(isMapped(kGreeterPlugin));
    EXPECT_EQ(greeter->LiveObjects(), 1);
    EXPECT_EQ(greeter->Release(), 0u);

    // Now nothing of it is alive, and the next last CoUninitialize unloads it.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
    EXPECT_FALSE(isMapped(kGreeterPlugin));
    ASSERT_EQ(CoInitialize(nullptr), S_OK);  // for TearDown
}

TEST(ComRegistration, UnregisteringRemovesTheClasses) {
    TempRegistry registry;
    ASSERT_EQ(registerServer(kGreeterPlugin), S_OK);
    ASSERT_EQ(unregisterServer(kGreeterPlugin), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Kri.TestGreeter", &clsid), CO_E_CLASSSTRING);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    void* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(kGreeterClass, nullptr, CLSCTX_INPROC_SERVER, IID_ITestGreeter, &object),
        REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

TEST(ComRegistration, PluginsThatCannotRegisterFail) {
    TempRegistry registry;
    EXPECT_EQ(registerServer((registry.root() / "libMissing.so").string()), kModuleNotFound);
    registry.writeFile("text.so", "plain text");
    EXPECT_EQ(registerServer((registry.root() / "text.so").string()), CO_E_ERRORINDLL);
    EXPECT_EQ(unregisterServer(kNoEntryPlugin), kProcedureNotFound);
}

TEST(ComRegistration, RegistrationEntriesThatThrowFail) {
    TempRegistry registry;
    EXPECT_EQ(registerServer(kThrowingRegistrationPlugin), E_UNEXPECTED);
    EXPECT_EQ(unregisterServer(kThrowingRegistrationPlugin), E_UNEXPECTED);
}

}  // namespace
