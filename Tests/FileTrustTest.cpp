// Which files the service trusts: owners, write permissions, sticky directories and symbolic
// links on the way to a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Platform/FileTrust.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

class FileTrust : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kri-trust-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base = pattern;
    }
    void TearDown() override { fs::remove_all(base); }

    // A directory below base with the mode and owner.
    fs::path directory(const std::string& name, mode_t mode, uid_t owner = geteuid()) {
        const fs::path dir = base / name;
        fs::create_directories(dir);
        chmod(dir.c_str(), mode);
        EXPECT_EQ(0, chown(dir.c_str(), owner, static_cast<gid_t>(-1)));
        return dir;
    }
    fs::path file(const fs::path& dir, mode_t mode, uid_t owner = geteuid()) {
        const fs::path path = dir / "plugin.so";
        FILE* f = fopen(path.c_str(), "w");
        fclose(f);
        chmod(path.c_str(), mode);
        EXPECT_EQ(0, chown(path.c_str(), owner, static_cast<gid_t>(-1)));
        return path;
    }

    fs::path base;
};

TEST_F(FileTrust, OwnerAndWritePermissionsOfTheFileAndEveryDirectoryAboveIt) {
    EXPECT_EQ("", platform::untrustedReason(file(directory("good", 0755), 0644)));
    EXPECT_EQ("", platform::untrustedReason((base / "good/missing.so").string()));
    const fs::path groupDir = directory("group", 0775);
    EXPECT_EQ(groupDir.string() + " is writable by group or others",
              platform::untrustedReason(file(groupDir, 0644)));
    const fs::path writable = file(directory("writable", 0755), 0646);
    EXPECT_EQ(writable.string() + " is writable by group or others",
              platform::untrustedReason(writable));
    // Below an acceptable directory, the way up is still checked.
    const fs::path inner = directory("group2/inner", 0755);
    chmod((base / "group2").c_str(), 0770);
    EXPECT_EQ((base / "group2").string() + " is writable by group or others",
              platform::untrustedReason(file(inner, 0644)));
    EXPECT_EQ(base.string() + " is not a regular file", platform::untrustedReason(base));
}

TEST_F(FileTrust, AKeyIsReadByOthersThroughOtherReadOrAForeignGroup) {
    const fs::path key = file(directory("keys", 0755), 0600);
    EXPECT_FALSE(platform::readableByOthers(key));
    ASSERT_EQ(0, chown(key.c_str(), static_cast<uid_t>(-1), getegid()));
    chmod(key.c_str(), 0640);
    EXPECT_FALSE(platform::readableByOthers(key)) << "the service's own group reads it";
    chmod(key.c_str(), 0604);
    EXPECT_TRUE(platform::readableByOthers(key));
    if (geteuid() == 0) {
        chmod(key.c_str(), 0640);
        ASSERT_EQ(0, chown(key.c_str(), static_cast<uid_t>(-1), 65534));
        EXPECT_TRUE(platform::readableByOthers(key));
        EXPECT_FALSE(platform::readableByOthers(key, "nobody")) << "the group of the account";
    }
}

TEST_F(FileTrust, OtherUsersFilesStickyDirectoriesAndLinks) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to another user";
    }
    const std::string nobodys = " belongs to user 65534, not to root or to this process's user 0";
    const fs::path theirs = file(directory("theirs", 0755), 0644, kNobody);
    EXPECT_EQ(theirs.string() + nobodys, platform::untrustedReason(theirs));

    const fs::path sticky = directory("sticky", 01777);
    EXPECT_EQ("", platform::untrustedReason(file(sticky, 0644)));
    fs::remove(sticky / "plugin.so");
    const fs::path planted = file(sticky, 0644, kNobody);
    EXPECT_EQ(planted.string() + nobodys, platform::untrustedReason(planted));

    // A trusted link that leads through a directory another user owns.
    const fs::path theirDir = directory("theirdir", 0755, kNobody);
    file(theirDir, 0644);
    const fs::path link = base / "good-looking.so";
    fs::create_symlink(theirDir / "plugin.so", link);
    EXPECT_EQ(theirDir.string() + nobodys, platform::untrustedReason(link));
    ASSERT_EQ(0, lchown(link.c_str(), kNobody, static_cast<gid_t>(-1)));
    EXPECT_EQ(link.string() + nobodys, platform::untrustedReason(link));
}

// A check run by root judges a directory the service writes in as the service would: the
// service's own account may own it, no one else.
TEST_F(FileTrust, TheServiceAccountNamedMayOwnWhatItWrites) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files away";
    }
    const fs::path metrics = directory("metrics", 0755, kNobody);
    EXPECT_NE("", platform::untrustedDirectoryReason(metrics));
    EXPECT_EQ("", platform::untrustedDirectoryReason(metrics, "nobody"));
    EXPECT_EQ("", platform::untrustedReason((metrics / "k.prom").string(), "nobody"));
    EXPECT_NE("", platform::untrustedDirectoryReason(metrics, "root")) << "only the one named";
    chmod(metrics.c_str(), 0775);
    EXPECT_EQ(metrics.string() + " is writable by group or others",
              platform::untrustedDirectoryReason(metrics, "nobody"));
}

}  // namespace
