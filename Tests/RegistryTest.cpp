#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Platform/Registry.h"
#include "TempRegistry.h"

using namespace platform;

namespace {

const char* const kServiceKey = "SOFTWARE\\Varnholt\\KriAtmnSvc";

std::string queryString(HKEY key, const char* name, LSTATUS* status = nullptr) {
    char buffer[260] = {};
    uint32_t size = sizeof buffer;
    const LSTATUS result =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<uint8_t*>(buffer), &size);
    if (status != nullptr) {
        *status = result;
    }
    return result == ERROR_SUCCESS ? std::string(buffer, size) : std::string();
}

LSTATUS setString(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()));
}

TEST(Registry, RootComesFromTheEnvironmentOrDefaultsUnderEtc) {
    {
        TempRegistry registry;
        EXPECT_EQ(registryRoot(), registry.root().string());
    }
    EXPECT_EQ(registryRoot(), "/etc/kri-registry");
}

TEST(Registry, ValueWrittenByAnOperatorIsReadWithItsExactBytes) {
    TempRegistry registry;
    registry.writeFile("HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config",
                       std::string("/etc/kri/KriAtmnSvc.xml\0", 24));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    ASSERT_NE(key, nullptr);

    uint32_t type = REG_NONE;
    uint32_t size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Config", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(queryString(key, "Config"), std::string("/etc/kri/KriAtmnSvc.xml\0", 24));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(Registry, ValueOfExactlyTheBufferSizeFitsAndOneByteMoreIsMoreData) {
    TempRegistry registry;
    const std::string dir = "HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/";
    registry.writeFile(dir + "Fits", std::string(260, 'a'));
    registry.writeFile(dir + "TooLong", std::string(261, 'b'));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_SUCCESS);

    EXPECT_EQ(queryString(key, "Fits"), std::string(260, 'a'));

    uint8_t buffer[260];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "TooLong", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 261u);
    RegCloseKey(key);
}

TEST(Registry, MissingKeysAndValuesAreFileNotFound) {
    TempRegistry registry;
    HKEY key = reinterpret_cast<HKEY>(&registry);
    // No hive directory at all yet.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    registry.writeFile("HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Other", "x");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    LSTATUS status = ERROR_SUCCESS;
    queryString(key, "Config", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    queryString(key, nullptr, &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    // A value is not a key, and a key is not a value.
    HKEY notAKey = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "Other", 0, KEY_READ, &notAKey), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    queryString(key, "KriAtmnSvc", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(Registry, NamesMatchWithoutRegardToCaseAndKeepTheirFirstSpelling) {
    TempRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, KEY_WRITE, &key), ERROR_SUCCESS);
    ASSERT_EQ(setString(key, "Config", "first"), ERROR_SUCCESS);
    RegCloseKey(key);

    uint32_t disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\VARNHOLT\\kriatmnsvc", KEY_WRITE, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<uint32_t>(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(setString(key, "CONFIG", "second"), ERROR_SUCCESS);
    EXPECT_EQ(queryString(key, "config"), "second");
    RegCloseKey(key);

    const auto dir =
        registry.root() / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Varnholt" / "KriAtmnSvc";
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "Config"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(Registry, DefaultValueAndReplacementOfAValue) {
    TempRegistry registry;
    HKEY key = nullptr;
    uint32_t disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "Kri.Test\\CLSID", KEY_WRITE, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<uint32_t>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(setString(key, nullptr, "a long first value"), ERROR_SUCCESS);
    ASSERT_EQ(setString(key, "", "short"), ERROR_SUCCESS);
    EXPECT_EQ(queryString(key, nullptr), "short");
    EXPECT_TRUE(std::filesystem::is_regular_file(registry.root() / "HKEY_CLASSES_ROOT" /
                                                 "Kri.Test" / "CLSID" / "@"));
    // An empty value exists and has no bytes.
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    uint32_t size = 99;
    EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
}

TEST(Registry, NamesADirectoryTreeCannotHoldAreRefused) {
    TempRegistry registry;
    HKEY key = nullptr;
    for (const char* path : {"\\SOFTWARE", "SOFTWARE\\", "SOFTWARE\\\\Varnholt", "SOFTWARE\\..",
                             "..\\HKEY_CLASSES_ROOT", "a/b"}) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WRITE, &key),
                  ERROR_INVALID_PARAMETER)
            << path;
        EXPECT_EQ(key, nullptr);
    }
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_WRITE, &key), ERROR_SUCCESS);
    for (const char* name : {"@", "..", "x/y", "\\~temp"}) {
        EXPECT_EQ(setString(key, name, "v"), ERROR_INVALID_PARAMETER) << name;
    }
    RegCloseKey(key);
    EXPECT_FALSE(std::filesystem::exists(registry.root() / "HKEY_CLASSES_ROOT"));
}

TEST(Registry, HandlesThatAreNotOpenAreRefused) {
    TempRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_WRITE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(setString(key, "Config", "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST(Registry, DeleteTreeRemovesAKeyOrEverythingBelowIt) {
    TempRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1}\\InprocServer32", KEY_WRITE, &key),
              ERROR_SUCCESS);
    setString(key, nullptr, "/lib/one.so");
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{2}", KEY_WRITE, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "clsid\\{1}"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1}", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{1}"), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    setString(key, "Value", "v");
    EXPECT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
    const auto clsid = registry.root() / "HKEY_CLASSES_ROOT" / "CLSID";
    EXPECT_TRUE(std::filesystem::is_directory(clsid));
    EXPECT_TRUE(std::filesystem::is_empty(clsid));
}

TEST(Registry, RootThatIsNotADirectoryFailsCleanly) {
    TempRegistry registry;
    registry.writeFile("file", "not a directory");
    setenv("KRI_REGISTRY_ROOT", (registry.root() / "file").c_str(), 1);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_WRITE, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST(Registry, KeysAndValuesGetTheirModesWhateverTheUmask) {
    TempRegistry registry;
    setenv("KRI_REGISTRY_ROOT", (registry.root() / "new" / "root").c_str(), 1);
    const mode_t saved = umask(0);
    HKEY key = nullptr;
    const LSTATUS created =
        RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32", KEY_WRITE, &key);
    const LSTATUS set = setString(key, nullptr, "/usr/lib/x.so");
    umask(saved);
    ASSERT_EQ(created, ERROR_SUCCESS);
    ASSERT_EQ(set, ERROR_SUCCESS);
    RegCloseKey(key);
    namespace fs = std::filesystem;
    const fs::path root = registry.root() / "new" / "root";
    for (const fs::path& dir : {root.parent_path(), root, root / "HKEY_CLASSES_ROOT",
                                root / "HKEY_CLASSES_ROOT/CLSID/{X}/InprocServer32"}) {
        EXPECT_EQ(fs::status(dir).permissions(), static_cast<fs::perms>(0755)) << dir;
    }
    EXPECT_EQ(fs::status(root / "HKEY_CLASSES_ROOT/CLSID/{X}/InprocServer32/@").permissions(),
              static_cast<fs::perms>(0644));
}

}  // namespace
