#include "store/Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;

// For EXPECT_EXIT: runs `check` as an unprivileged user (these tests often
// run as root), exiting 0 when it holds.
[[noreturn]] void ExitWithUnprivilegedCheck(const std::function<bool()>& check)
{
    if (::geteuid() == 0 && (::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)) std::_Exit(3);
    std::_Exit(check() ? 0 : 1);
}

struct SettingsTest : ::testing::Test {
    TempDir dir;
    std::string path = SettingsPath(dir.Path() + "/tessaro");
};

} // namespace

TEST(SettingsPathTest, JoinsTheExecutableDirectoryWithADoubledSlashAndCutsLongPaths)
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

// A program installed where the user cannot write keeps its settings in the
// user's file, which starts from the administrator's file beside the program;
// a file beside it that the user may write is still used there.
TEST(SettingsLocationTest, UnwritableProgramFolderUsesTheUserFileSeededFromBesideIt)
{
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string bin = dir.File("bin");
    const std::string home = dir.File("home");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(::chown(home.c_str(), Nobody, Nobody), 0);
    const std::string beside = SettingsPath(bin + "/tessaro");
    const std::string admin = "[site]\r\nK=1\r\n\r\n[TESSAROPRO]\r\nLASTIP=10.0.0.9\r\nLASTPORT=4000\r\n\r\n";
    WriteBytes(beside, admin);
    ASSERT_EQ(::chmod(bin.c_str(), 0555), 0);
    const std::string user = home + "/.config/tessaro/mowkin.ini";

    EXPECT_EXIT(ExitWithUnprivilegedCheck([&] {
                    const TSettingsLocation location = ChooseSettingsLocation(beside, user);
                    if (location.File != user || ReadSettings(location).LastIp != "10.0.0.9") return false;
                    WriteSettings(location, "10.0.0.2", "4000");
                    return ReadBytes(user) == "[site]\r\nK=1\r\n\r\n[TESSAROPRO]\r\nLASTIP=10.0.0.2\r\n"
                                              "LASTPORT=4000\r\n\r\n" &&
                           ReadSettings(location).LastIp == "10.0.0.2";
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadBytes(beside), admin);
    EXPECT_EQ(ModeOf(home + "/.config"), 0700u);

    ASSERT_EQ(::chmod(beside.c_str(), 0666), 0);
    EXPECT_EXIT(ExitWithUnprivilegedCheck([&] { return ChooseSettingsLocation(beside, user).File == beside; }),
                ::testing::ExitedWithCode(0), "");
}

TEST(SettingsLocationTest, UserFileFollowsXdgConfigHomeWhenAbsolute)
{
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(UserSettingsPath(), "/cfg/tessaro/mowkin.ini");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(UserSettingsPath(), "/home/u/.config/tessaro/mowkin.ini");
}

// The sanitizer's allocator pads every block and keeps freed ones in
// quarantine: its figures are not this code's.
#ifndef __SANITIZE_ADDRESS__
namespace {

// A "kB" figure of /proc/self/status.
long StatusKb(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    }
    return -1;
}

} // namespace

// A file of many small sections costs the read a small multiple of its size
// (a kilobyte of hash table per section would cost over a hundred times),
// and the read gives the memory back when done.
TEST_F(SettingsTest, ManySmallSectionsCostASmallMultipleOfTheFileAndAreGivenBack)
{
    constexpr int Sections = 250000;
    long fileKb = 0;
    {
        std::string text;
        char line[32];
        for (int i = 0; i < Sections; ++i) text.append(line, std::snprintf(line, sizeof line, "[s%07d]\r\nk=v\r\n", i));
        WriteBytes(path, text);
        fileKb = static_cast<long>(text.size() / 1024);
    }
    // Writing 5 to clear_refs starts the peak (VmHWM) afresh from now.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKb("VmRSS:");

    EXPECT_EQ(ReadSettings(path).LastIp, "192.168.0.1");

    EXPECT_LT(StatusKb("VmHWM:") - before, 16 * fileKb);
    EXPECT_LT(StatusKb("VmRSS:") - before, fileKb);
}
#endif

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
