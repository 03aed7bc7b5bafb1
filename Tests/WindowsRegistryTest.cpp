// The registry calls against Windows' own registry, in a temporary key of the test's own. Without
// windows.h, whose macros would hide this layer's names of the same spelling.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Platform/Registry.h"

namespace {

TEST(WindowsRegistry, ATemporaryKeyHoldsTheConfigValueUpToItsFullSize) {
    const std::string keyPath =
        "SOFTWARE\\KriTest\\" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    platform::HKEY key = nullptr;
    uint32_t disposition = 0;
    ASSERT_EQ(0, platform::RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, keyPath.c_str(),
                                           platform::KEY_ALL_ACCESS, &key, &disposition));
    EXPECT_EQ(platform::REG_CREATED_NEW_KEY, disposition);

    // A path of 259 characters and its terminating zero fill the 260 bytes of "Config".
    const std::string path = "C:\\" + std::string(256, 'p');
    ASSERT_EQ(0, platform::RegSetValueExA(key, "Config", 0, platform::REG_SZ,
                                          reinterpret_cast<const uint8_t*>(path.c_str()),
                                          static_cast<uint32_t>(path.size() + 1)));
    platform::RegCloseKey(key);

    ASSERT_EQ(0, platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, keyPath.c_str(), 0,
                                         platform::KEY_READ, &key));
    uint8_t buffer[261] = {};
    uint32_t size = 260;
    uint32_t type = 0;
    EXPECT_EQ(0, platform::RegQueryValueExA(key, "Config", nullptr, &type, buffer, &size));
    EXPECT_EQ(260u, size);
    EXPECT_EQ(platform::REG_SZ, type);
    EXPECT_EQ(path, reinterpret_cast<const char*>(buffer));
    size = 259;
    EXPECT_EQ(platform::ERROR_MORE_DATA,
              platform::RegQueryValueExA(key, "Config", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(platform::ERROR_FILE_NOT_FOUND,
              platform::RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size));
    // The registry guards its values itself; there is no file to judge.
    EXPECT_EQ("",
              platform::registryValueFile(platform::HKEY_LOCAL_MACHINE, keyPath.c_str(), "Config"));
    platform::RegCloseKey(key);

    ASSERT_EQ(0, platform::RegDeleteTreeA(platform::HKEY_LOCAL_MACHINE, keyPath.c_str()));
    EXPECT_EQ(platform::ERROR_FILE_NOT_FOUND,
              platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, keyPath.c_str(), 0,
                                      platform::KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
}

}  // namespace
