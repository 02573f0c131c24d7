#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SettingsTest : ::testing::Test {
    TempDir dir;
    std::string path = SettingsPath(dir.Path() + "/tessaro");
};

} // namespace

TEST(SettingsPath, JoinsTheExecutableDirectoryWithADoubledSlashAndCutsLongPaths)
{
    EXPECT_EQ(SettingsPath("/opt/tessaro/bin/tessaro"), "/opt/tessaro/bin//mowkin.ini");
    EXPECT_EQ(SettingsPath("tessaro"), "/mowkin.ini");
    // 260 bytes survive: a "/" at byte 260 is kept, one at byte 261 is cut.
    const std::string dir259 = "/" + std::string(258, 'd');
    EXPECT_EQ(SettingsPath(dir259 + "/exe"), dir259 + "//mowkin.ini");
    EXPECT_EQ(SettingsPath(dir259 + "x/exe"), "//mowkin.ini");

    char exe[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(length, 0);
    const std::string exePath(exe, static_cast<std::size_t>(length));
    EXPECT_EQ(SettingsPath(), exePath.substr(0, exePath.rfind('/') + 1) + "/mowkin.ini");
}

TEST_F(SettingsTest, FirstWriteGivesTheFourLineFile)
{
    const TStoredPeer read = ReadSettings(path);
    EXPECT_EQ(read.LastIp, "192.168.0.1");
    EXPECT_EQ(read.LastPort, "3100");
    EXPECT_EQ(dir.EntryCount(), 0u);

    WriteSettings(path, read.LastIp, read.LastPort);
    const std::string written = ReadBytes(path);
    EXPECT_EQ(written, "[TESSAROPRO]\r\nLASTIP=192.168.0.1\r\nLASTPORT=3100\r\n\r\n");
    EXPECT_EQ(written.size(), 51u);
}

TEST_F(SettingsTest, WriteKeepsOtherSectionsAndKeysAndReplacesOursInPlace)
{
    WriteBytes(path, "; mine\n[before]\na=1\n\n[tessaropro]\ncodepage = 932\nlastport=1\nlastip=2\n[after]\nb\n");
    EXPECT_EQ(ReadCodePage(path), "932");
    const TStoredPeer read = ReadSettings(path);
    EXPECT_EQ(read.LastIp, "2");
    EXPECT_EQ(read.LastPort, "1");

    const std::string expected =
        "[before]\r\na=1\r\n\r\n[tessaropro]\r\ncodepage=932\r\nLASTPORT=80\r\nLASTIP=10.0.0.1\r\n\r\n[after]\r\nb\r\n\r\n";
    WriteSettings(path, "10.0.0.1", "80");
    EXPECT_EQ(ReadBytes(path), expected);
    WriteSettings(path, "10.0.0.1", "80");
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(ReadCodePage(path), "932");
}

TEST_F(SettingsTest, MissingSectionIsAddedAtTheEndAndOverlongValuesStayWhole)
{
    WriteBytes(path, "[other]\r\nLASTIP=ignored\r\n");
    EXPECT_EQ(ReadSettings(path).LastIp, "192.168.0.1");
    EXPECT_EQ(ReadCodePage(path), "");
    const std::string longIp(40, '9');
    WriteSettings(path, longIp, "not a port");
    EXPECT_EQ(ReadBytes(path), "[other]\r\nLASTIP=ignored\r\n\r\n[TESSAROPRO]\r\nLASTIP=" + longIp +
                                   "\r\nLASTPORT=not a port\r\n\r\n");
    EXPECT_EQ(ReadSettings(path).LastIp, longIp);
}

TEST_F(SettingsTest, FileHoldingAPassphraseIsWrittenForItsOwnerOnly)
{
    WriteBytes(path, "[TESSAROPRO]\r\nPASSPHRASE=open sesame\r\nALLOW=10.0.0.0/8\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const TPeerPolicy policy = ReadPeerPolicy(path);
    EXPECT_EQ(policy.Passphrase, "open sesame");
    EXPECT_EQ(policy.Allow, "10.0.0.0/8");

    WriteSettings(path, "10.0.0.7", "3100");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(ReadBytes(path).find("\r\nPASSPHRASE=open sesame\r\n"), std::string::npos);
}
