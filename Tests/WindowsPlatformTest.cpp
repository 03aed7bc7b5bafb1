// The Windows side of the system-facing platform concerns, against Windows itself (Wine here):
// the named stop event across processes, the spool's files, ACL trust, the event log and the
// last error's text (the registry is in WindowsRegistryTest.cpp). Built for Windows only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Platform/ComRuntime.h"
#include "Platform/FileTrust.h"
#include "Platform/LastError.h"
#include "Platform/NamedEvent.h"
#include "Platform/ServiceControlManager.h"
#include "Platform/ServiceDispatcher.h"
#include "Platform/SpoolFiles.h"
#include "Platform/SystemLog.h"
#include "Tests/Plugins/TestGreeter.h"
#include "Tools/RovazoRiva/Common/KriStatusCodes.h"

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

namespace fs = std::filesystem;

namespace {

std::string unique(const char* stem) {
    return std::string(stem) + "-" + std::to_string(GetCurrentProcessId());
}

// A directory of the test's own below the temporary directory, removed afterwards.
class TempDir {
public:
    TempDir() : path(fs::temp_directory_path() / unique("kri-wintest")) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const char* name) const { return (path / name).string(); }

    const fs::path path;
};

// A file of this build's test directory, where the test programs and plug-ins are.
std::string sibling(const char* name) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    return (fs::path(self).parent_path() / name).string();
}

// Runs a program of this build's test directory and returns its exit code.
DWORD runSibling(const char* program, const std::string& arguments) {
    std::string command = "\"" + sibling(program) + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 9);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(WindowsNamedEvent, AnotherProcessSetsItAndASecondCreatorIsRefused) {
    const std::string name = unique("KriTestStop");
    std::string refusal;
    const auto event = platform::NamedEvent::create(name, &refusal);
    ASSERT_NE(nullptr, event) << refusal;

    EXPECT_EQ(nullptr, platform::NamedEvent::create(name, &refusal));
    EXPECT_EQ(
        "Global\\" + name + " exists already: another instance runs, or another process made it",
        refusal);
    EXPECT_EQ(nullptr, platform::NamedEvent::open(unique("KriTestNobody")));
    EXPECT_EQ(nullptr, platform::NamedEvent::create("a\\b", &refusal));

    EXPECT_EQ(platform::NamedEvent::WaitResult::kTimedOut, event->wait(0));
    EXPECT_EQ(0u, runSibling("KriPostEvent.exe", name));
    EXPECT_EQ(platform::NamedEvent::WaitResult::kSignalled, event->wait(10000));
    // Auto-reset: the one signal was taken, and two sets leave one.
    EXPECT_EQ(platform::NamedEvent::WaitResult::kTimedOut, event->wait(0));
    const auto opened = platform::NamedEvent::open(name);
    ASSERT_NE(nullptr, opened);
    EXPECT_TRUE(opened->set());
    EXPECT_TRUE(opened->set());
    EXPECT_EQ(platform::NamedEvent::WaitResult::kSignalled, event->wait(0));
    EXPECT_EQ(platform::NamedEvent::WaitResult::kTimedOut, event->wait(0));
}

TEST(WindowsSpoolFiles, TheLockIsExclusiveAndAnOpenFileDoesNotStopARename) {
    TempDir dir;
    platform::SpoolFiles& files = platform::linuxSpoolFiles();
    const std::string spool = dir.file("spool");
    ASSERT_EQ("", files.checkDirectory(spool));
    CloseHandle(CreateFileA(dir.file("plain").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr));
    EXPECT_EQ("it is not a directory", files.checkDirectory(dir.file("plain")));

    int error = 0;
    const auto lock = files.lockDirectory(spool, error);
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(nullptr, files.lockDirectory(spool, error));
    EXPECT_EQ(EWOULDBLOCK, error);

    std::unique_ptr<platform::SpoolFile> segment;
    ASSERT_EQ(0, files.open(spool + "\\segment.new", platform::SpoolFiles::Opening::kNew, segment));
    ASSERT_EQ(0, segment->append("hello ", 6));
    ASSERT_EQ(0, segment->append("world", 5));
    EXPECT_EQ(0, segment->sync());
    EXPECT_EQ(11u, segment->size());
    char read[5] = {};
    EXPECT_EQ(0, segment->readAt(6, read, 5));
    EXPECT_EQ("world", std::string(read, 5));
    EXPECT_EQ(EIO, segment->readAt(8, read, 5));
    EXPECT_EQ(0, segment->truncate(5));
    EXPECT_EQ(5u, segment->size());

    // A scanner holds the older segment of the target name open for a moment: the rename
    // replaces it (at once on Windows 10 with NTFS, elsewhere once the scanner lets go) while
    // the new segment itself stays open.
    std::unique_ptr<platform::SpoolFile> older;
    ASSERT_EQ(0, files.open(spool + "\\segment", platform::SpoolFiles::Opening::kNew, older));
    ASSERT_EQ(0, older->append("old", 3));
    older.reset();
    HANDLE scanner = CreateFileA((spool + "\\segment").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, scanner);
    std::thread letGo([scanner] {
        Sleep(200);
        CloseHandle(scanner);
    });
    EXPECT_EQ(0, files.rename(spool + "\\segment.new", spool + "\\segment"));
    letGo.join();
    platform::FileIdentity renamed;
    platform::FileIdentity named;
    ASSERT_EQ(0, segment->identify(renamed));
    ASSERT_EQ(0, files.identify(spool + "\\segment", named));
    // The same file index; Wine loses the volume of a file renamed while open (it reports 0),
    // so the whole identity is compared only where the volume is known.
    EXPECT_EQ(renamed.inode, named.inode);
    if (renamed.device != 0) {
        EXPECT_TRUE(renamed.sameFile(named));
    }
    EXPECT_EQ(1u, named.links);
    std::string whole;
    EXPECT_EQ(0, files.readWhole(spool + "\\segment", whole, 100));
    EXPECT_EQ("hello", whole);
    EXPECT_EQ(ENOENT, files.readWhole(spool + "\\segment.new", whole, 100));

    std::vector<std::string> names;
    EXPECT_EQ(0, files.list(spool, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"lock", "segment"}), names);
    uint64_t free = 0;
    EXPECT_EQ(0, files.freeBytes(spool, free));
    EXPECT_GT(free, 0u);
    segment.reset();
    EXPECT_EQ(0, files.remove(spool + "\\segment"));
}

TEST(WindowsSpoolFiles, AFileOpenedInPlaceIsWrittenWhereAsked) {
    TempDir dir;
    platform::SpoolFiles& files = platform::linuxSpoolFiles();
    std::unique_ptr<platform::SpoolFile> file;
    ASSERT_EQ(0, files.open(dir.file("state"), platform::SpoolFiles::Opening::kInPlace, file));
    ASSERT_EQ(0, file->writeAt(0, "abcdef", 6));
    ASSERT_EQ(0, file->writeAt(2, "XY", 2));
    std::string whole;
    EXPECT_EQ(0, files.readWhole(dir.file("state"), whole, 6));
    EXPECT_EQ("abXYef", whole);
    EXPECT_EQ(EFBIG, files.readWhole(dir.file("state"), whole, 5));
    EXPECT_EQ(ENOENT,
              files.open(dir.file("missing"), platform::SpoolFiles::Opening::kExisting, file));
}

// Sets a file's DACL from its SDDL form.
void setAccess(const std::string& path, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    ASSERT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
}

TEST(WindowsFileTrust, AFileEveryUserMayWriteIsRefusedOneOfAdministratorsOnlyIsAccepted) {
    TempDir dir;
    const std::string plugin = dir.file("plugin.dll");
    CloseHandle(CreateFileA(plugin.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    setAccess(plugin, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)");
    const std::string reason = platform::untrustedReason(plugin);
    EXPECT_NE(std::string::npos,
              reason.find("is writable by Users, Authenticated Users or Everyone"))
        << reason;
    EXPECT_TRUE(platform::readableByOthers(plugin));

    setAccess(plugin, "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
    EXPECT_EQ("", platform::untrustedReason(plugin));
    EXPECT_FALSE(platform::readableByOthers(plugin));

    EXPECT_EQ("", platform::untrustedReason(dir.file("missing.dll")));
    EXPECT_NE(std::string::npos,
              platform::untrustedReason(dir.path.string()).find("not a regular"));
}

TEST(WindowsCom, APluginRegisteredThroughItsEntryIsCreatedByProgIdAndUsed) {
    const std::string plugin = sibling(KRI_TEST_GREETER_PLUGIN);
    ASSERT_EQ(S_OK, platform::registerServer(plugin));
    ASSERT_EQ(S_OK, platform::CoInitialize(nullptr));
    platform::CLSID clsid{};
    ASSERT_EQ(S_OK, platform::CLSIDFromProgID(u"Kri.TestGreeter", &clsid));
    EXPECT_EQ(kGreeterClass, clsid);
    EXPECT_EQ(plugin, platform::inprocServerPath(clsid));
    EXPECT_EQ(CO_E_CLASSSTRING, platform::CLSIDFromString(u"Kri.TestGreeter", &clsid));

    void* object = nullptr;
    ASSERT_EQ(S_OK,
              platform::CoCreateInstance(kGreeterClass, nullptr, platform::CLSCTX_INPROC_SERVER,
                                         IID_ITestGreeter, &object));
    auto* greeter = static_cast<ITestGreeter*>(object);
    platform::BSTR name = platform::bstrFromUtf8("Wine");
    platform::BSTR greeting = nullptr;
    EXPECT_EQ(S_OK, greeter->Greet(name, &greeting));
    EXPECT_EQ("Hello from Wine", platform::bstrToUtf8(greeting));
    platform::SysFreeString(greeting);
    platform::SysFreeString(name);
    greeter->Release();
    // A DLL without DllGetClassObject serves nothing, and one without the removal entry says so.
    const std::string noEntry = sibling(KRI_TEST_NO_ENTRY_PLUGIN);
    ASSERT_EQ(S_OK, platform::registerServer(noEntry));
    EXPECT_LT(platform::CoCreateInstance(kNoEntryClass, nullptr, platform::CLSCTX_INPROC_SERVER,
                                         IID_ITestGreeter, &object),
              0);
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(platform::kProcedureNotFound, platform::unregisterServer(noEntry));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + platform::guidToString(kNoEntryClass)).c_str());
    platform::CoUninitialize();
    EXPECT_EQ(S_OK, platform::unregisterServer(plugin));
    EXPECT_EQ(CO_E_CLASSSTRING, platform::CLSIDFromProgID(u"Kri.TestGreeter", &clsid));
}

void unusedServiceMain(int, char**) {}

// Windows answers at once; Wine waits some ten seconds for the service control manager first.
TEST(WindowsServices, AConsoleProgramHasNoServiceManagerToDispatchFor) {
    EXPECT_FALSE(platform::hasServiceManager());
    const platform::ServiceTableEntry table[] = {{"KriTest", unusedServiceMain},
                                                 {nullptr, nullptr}};
    char program[] = "test";
    char* argv[] = {program, nullptr};
    EXPECT_FALSE(platform::startServiceCtrlDispatcher(table, 1, argv));
    EXPECT_EQ(platform::kErrorFailedServiceControllerConnect, platform::lastError());
}

TEST(WindowsServices, AServiceIsInstalledQueriedAndRemoved) {
    const auto manager = platform::ServiceControlManager::open();
    ASSERT_NE(nullptr, manager);
    const std::string name = unique("KriTestSvc");
    EXPECT_EQ(nullptr, manager->openService(name.c_str()));
    EXPECT_EQ(platform::kErrorServiceDoesNotExist, platform::lastError());

    const platform::ServiceConfig config{name.c_str(),
                                         "Kri test service",
                                         platform::kServiceWin32OwnProcess,
                                         platform::kServiceDemandStart,
                                         platform::kServiceErrorNormal,
                                         "C:\\Program Files\\Kri\\missing.exe",
                                         ""};
    ASSERT_NE(nullptr, manager->createService(config));
    EXPECT_EQ(nullptr, manager->createService(config));
    EXPECT_EQ(platform::kErrorServiceExists, platform::lastError());

    const auto service = manager->openService(name.c_str());
    ASSERT_NE(nullptr, service);
    platform::ServiceStatus status;
    ASSERT_TRUE(service->queryStatus(status));
    EXPECT_EQ(platform::kServiceStopped, status.currentState);
    EXPECT_FALSE(service->control(platform::kServiceControlStop, status));
    EXPECT_EQ(platform::kErrorServiceNotActive, platform::lastError());

    // The program path is quoted, as a path with spaces needs.
    char command[512] = {};
    HKEY key = nullptr;
    const std::string keyPath = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key));
    DWORD size = sizeof command - 1;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "ImagePath", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(command), &size));
    RegCloseKey(key);
    EXPECT_EQ(std::string("\"") + config.binaryPath + "\"", command);

    EXPECT_TRUE(service->remove());
}

std::vector<platform::SystemLogRecord> captured;

TEST(WindowsSystemLog, ARecordKeepsItsTextTypeAndRawData) {
    platform::setSystemLogWriterForTesting(
        [](const platform::SystemLogRecord& record) { captured.push_back(record); });
    const unsigned char data[] = {0x01, 0xff};
    platform::reportEvent("KriTest", platform::kEventLogErrorType, "\n\nstopped\n", data, 2);
    platform::setSystemLogWriterForTesting(nullptr);
    ASSERT_EQ(1u, captured.size());
    EXPECT_EQ(platform::SystemLogType::Error, captured[0].type);
    EXPECT_EQ("stopped\nData: 01 ff", captured[0].text);
    // To the event log itself. Wine stores nothing but shows the record on standard error with
    // WINEDEBUG=+eventlog, which the test WindowsEventLog (Tests/CMakeLists.txt) looks for.
    platform::reportEvent("KriTest", platform::kEventLogErrorType, "\nrecord for the event log\n",
                          nullptr, 0);
}

// Under the code as its event ID, with only the text as insertion string; Wine shows the ID
// with WINEDEBUG=+advapi, which the test WindowsEventLogId (Tests/CMakeLists.txt) looks for.
TEST(WindowsSystemLogEventId, AnApplicationRecordCarriesItsCode) {
    platform::systemLogEvent("KriTest", platform::SystemLogType::Error, kAtmnEventConfiguration,
                             "configuration for the event log", "[0xCE000D02] not this line");
}

// The event viewer reads a record's message from the event source's message file, the service
// program, under the record's event ID, with the record's text in place of %1.
TEST(WindowsSystemLog, TheServiceProgramHasAMessageForEachApplicationEventCode) {
    HMODULE program = LoadLibraryExA(KRI_SERVICE_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, program) << KRI_SERVICE_PROGRAM;
    for (const uint32_t code : {kAtmnEventSslContext, kAtmnEventConfiguration,
                                kAtmnEventNoComponent, kAtmnEventSslWarning}) {
        const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>("INSERTED")};
        char text[512] = {};
        const DWORD length = FormatMessageA(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, code, 0, text,
            sizeof text, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
        ASSERT_GT(length, 0u) << std::hex << code;
        const std::string message(text, length);
        EXPECT_NE(std::string::npos, message.find("INSERTED")) << message;
        EXPECT_GT(message.size(), std::string("INSERTED\r\n").size()) << message;
    }
    FreeLibrary(program);
}

TEST(WindowsLastError, TheSystemsTextForAnErrorNumber) {
    platform::setLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(5u, platform::lastError());
    const std::string text = platform::formatMessage(ERROR_ACCESS_DENIED);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    EXPECT_NE(std::string::npos, text.find("ccess"));
    EXPECT_EQ("", platform::formatMessage(0x2FFFFFFF));
}

}  // namespace
