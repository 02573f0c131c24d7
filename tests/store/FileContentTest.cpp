#include "store/FileContent.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr const char* OldContent = "[S]\r\nkey=old value\r\n\r\n";

template <class Error>
bool Raises(const std::function<void()>& action, const std::string& message)
{
    try {
        action();
    } catch (const Error& e) {
        return e.Message() == message;
    }
    return false;
}

bool ReplaceRaisesCreateError(const std::string& path)
{
    return Raises<EFCreateError>([&] { ReplaceFileContent(path, "new"); }, "ファイル " + path + " を作成できません");
}

bool ReadRaisesOpenError(const std::string& path)
{
    return Raises<EFOpenError>([&] { ReadFileContent(path); }, "ファイル " + path + " は開けません");
}

// For EXPECT_EXIT: runs `check` without root's power over permissions (these
// tests often run as root), exiting 0 when it holds.
[[noreturn]] void ExitWithUnprivilegedCheck(const std::function<bool()>& check)
{
    constexpr uid_t Nobody = 65534;
    if (::geteuid() == 0 && (::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)) std::_Exit(3);
    std::_Exit(check() ? 0 : 1);
}

// For EXPECT_EXIT: a file-size limit stops the write the way a full disk
// would; exits 0 when the write error came.
[[noreturn]] void ExitWithReplaceUnderSizeLimit(const std::string& path, const std::string& content)
{
    constexpr rlim_t LimitBytes = 16;
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{LimitBytes, LimitBytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::_Exit(Raises<EWriteError>([&] { ReplaceFileContent(path, content); }, "ストリームへの書き込みエラー") ? 0 : 1);
}

struct FileContentTest : ::testing::Test {
    TempDir dir;
    // The doubled "/" is how the program names its settings file.
    std::string path = dir.Path() + "//mowkin.ini";
};

} // namespace

TEST_F(FileContentTest, ReplacingKeepsPermissionBitsAndWritesThroughALink)
{
    WriteBytes(dir.File("real.ini"), OldContent);
    ASSERT_EQ(::chmod(dir.File("real.ini").c_str(), 0604), 0);
    ASSERT_EQ(::symlink("real.ini", path.c_str()), 0);

    ReplaceFileContent(path, "new");
    EXPECT_EQ(ReadBytes(dir.File("real.ini")), "new");
    EXPECT_EQ(ModeOf(dir.File("real.ini")), 0604u);
    struct stat link {};
    ASSERT_EQ(::lstat(path.c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(dir.EntryCount(), 2u);
}

// Root may write any file, so the read-only mode itself must stop the rename.
TEST_F(FileContentTest, ReadOnlyFileIsNotReplacedEvenByRoot)
{
    WriteBytes(path, OldContent);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_TRUE(ReplaceRaisesCreateError(path));
    EXPECT_EQ(ReadBytes(path), OldContent);
    EXPECT_EQ(ModeOf(path), 0444u);
    EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST_F(FileContentTest, NoPlaceToCreateTheFileIsACreateError)
{
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_TRUE(ReplaceRaisesCreateError(path));
    EXPECT_TRUE(ReplaceRaisesCreateError(dir.Path() + "/missing//mowkin.ini"));
    EXPECT_TRUE(ReplaceRaisesCreateError(""));

    const std::string locked = dir.File("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EXIT(ExitWithUnprivilegedCheck([&] { return ReplaceRaisesCreateError(locked + "//mowkin.ini"); }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(dir.EntryCount(), 2u);
}

// The file may be written though its directory takes no new file (a
// program's folder the user cannot write): overwritten in place, cut to size.
TEST_F(FileContentTest, WritableFileInALockedDirectoryIsWrittenInPlace)
{
    const std::string locked = dir.File("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    const std::string file = locked + "//mowkin.ini";
    WriteBytes(file, OldContent);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EXIT(ExitWithUnprivilegedCheck([&] {
                    ReplaceFileContent(file, "new");
                    return ReadBytes(file) == "new";
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadBytes(file), "new");
}

TEST_F(FileContentTest, ShortWriteLeavesTheOldFileWholeAndNoTemporary)
{
    WriteBytes(path, OldContent);
    EXPECT_EXIT(ExitWithReplaceUnderSizeLimit(path, std::string(4096, 'x')), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadBytes(path), OldContent);
    EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST_F(FileContentTest, SomethingUnreadableInPlaceIsAnOpenError)
{
    ASSERT_EQ(::symlink("loop-b", dir.File("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.File("loop-b").c_str()), 0);
    EXPECT_TRUE(ReadRaisesOpenError(dir.File("loop-a")));
    // A FIFO must neither hang the read nor pass for an empty file.
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_TRUE(ReadRaisesOpenError(path));

    const std::string secret = dir.File("secret.ini");
    WriteBytes(secret, OldContent);
    ASSERT_EQ(::chmod(secret.c_str(), 0200), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EXIT(ExitWithUnprivilegedCheck([&] { return ReadRaisesOpenError(secret); }), ::testing::ExitedWithCode(0),
                "");
}

// A size known only by reading to the end, as with a file still growing.
TEST_F(FileContentTest, ReadsPastTheSizeSeenAtOpen)
{
    const std::optional<std::string> status = ReadFileContent("/proc/self/status");
    ASSERT_TRUE(status);
    EXPECT_NE(status->find("\nPid:"), std::string::npos);
}
