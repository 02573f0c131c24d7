// TForm1's settings steps: the boxes filled from the file at creation, the
// file rewritten from the boxes at close and at "Exit", and what a failing
// step leaves behind.
#include "app/Application.h"
#include "app/Edit.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "net/ScktComp.h"
#include "Unit1TestSupport.h"

#include <QEvent>
#include <QPushButton>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<std::string> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Counts the times a file is written. The store replaces the file whole, by
// renaming a finished copy over it (a probe that opens it for writing first
// changes nothing, so close-after-write would count too much).
class WriteCounter {
public:
    explicit WriteCounter(const std::string& path)
    {
        const std::size_t slash = path.rfind('/');
        name_ = path.substr(slash + 1);
        fd_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        EXPECT_GE(::inotify_add_watch(fd_.Get(), path.substr(0, slash).c_str(), IN_MOVED_TO), 0);
    }

    int Writes()
    {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_.Get(), buffer, sizeof buffer);
            if (n <= 0) return writes_;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && name_ == event->name) ++writes_;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    UniqueFd fd_;
    std::string name_;
    int writes_ = 0;
};

// Runs `onClose` when a close reaches the window, before its close handler.
class CloseWatch : public QObject {
public:
    CloseWatch(QWidget& window, std::function<void()> onClose) : onClose_(std::move(onClose))
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Close) onClose_();
        return false;
    }

private:
    std::function<void()> onClose_;
};

constexpr const char* FreshFile = "[TESSAROPRO]\r\nLASTIP=192.168.0.1\r\nLASTPORT=3100\r\n\r\n";

} // namespace

TEST(TForm1SettingsTest, CloseWithNoFileWritesTheBoxesInitialTextsAsFourLines)
{
    Form1Harness harness;
    TForm1& form = harness.Create();
    form.show();
    EXPECT_FALSE(FileBytes(harness.SettingsFile())) << "the start only reads";

    form.close();

    EXPECT_EQ(FileBytes(harness.SettingsFile()), std::string(FreshFile));
    EXPECT_EQ(std::string(FreshFile).size(), 51u);
    EXPECT_TRUE(harness.App().QuitRequested());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST(TForm1SettingsTest, ExitWritesTwiceKeepingOtherSectionsAndKeysAndLongValuesWhole)
{
    Form1Harness harness;
    WriteBytes(harness.SettingsFile(), "[other]\r\nKey=1\r\n\r\n"
                                       "[TESSAROPRO]\r\nLASTIP=127.000.000.001:extra\r\nNOTE=kept\r\n"
                                       "LASTPORT=0003100\r\n");
    TForm1& form = harness.Create();
    form.show();
    // The typing limits (15 and 5) do not cut what the file holds.
    EXPECT_EQ(form.Edit1()->Text(), "127.000.000.001:extra");
    EXPECT_EQ(form.Edit2()->Text(), "0003100");

    form.Edit2()->SetText("4100");
    WriteCounter counter(harness.SettingsFile());
    // Between the two writes, another program adds a section: the second
    // write loads the file afresh and keeps it. (Reading the count here also
    // keeps the kernel from merging the two renames into one event.)
    int writesBeforeClose = -1;
    CloseWatch watch(form, [&] {
        writesBeforeClose = counter.Writes();
        std::ofstream(harness.SettingsFile(), std::ios::binary | std::ios::app) << "[later]\r\nX=1";
    });
    form.Button6()->click();

    EXPECT_EQ(writesBeforeClose, 1);
    EXPECT_EQ(counter.Writes(), 2);
    EXPECT_EQ(FileBytes(harness.SettingsFile()), std::string("[other]\r\nKey=1\r\n\r\n"
                                                             "[TESSAROPRO]\r\nLASTIP=127.000.000.001:extra\r\n"
                                                             "NOTE=kept\r\nLASTPORT=4100\r\n\r\n"
                                                             "[later]\r\nX=1\r\n\r\n"));
    EXPECT_TRUE(harness.App().QuitRequested());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST(TForm1SettingsTest, ReadOnlyFileAtExitIsReportedAndTheWindowAndServerStay)
{
    Form1Harness harness;
    const std::string stored = "[TESSAROPRO]\r\nLASTIP=127.0.0.1\r\nLASTPORT=" + std::to_string(UnusedPort()) + "\r\n\r\n";
    WriteBytes(harness.SettingsFile(), stored);
    ASSERT_EQ(::chmod(harness.SettingsFile().c_str(), 0444), 0);
    TForm1& form = harness.Create();
    form.show();
    form.Button3()->click();
    ASSERT_TRUE(form.ServerSocket1().Active());

    form.Button6()->click();

    EXPECT_EQ(harness.Errors(),
              std::vector<std::string>{"ファイル " + harness.SettingsFile() + " を作成できません"});
    EXPECT_FALSE(harness.App().QuitRequested());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(FileBytes(harness.SettingsFile()), stored);
    EXPECT_TRUE(form.ServerSocket1().Active());
    LoopbackPeer peer(ConnectLoopback(static_cast<std::uint16_t>(std::stoi(form.Edit2()->Text()))));
    EXPECT_TRUE(RunUntil([&] { return Status(form) == "127.0.0.1 Connected."; }));

    // A later "Exit" tries again.
    ASSERT_EQ(::chmod(harness.SettingsFile().c_str(), 0644), 0);
    form.Button6()->click();
    EXPECT_EQ(harness.Errors().size(), 1u);
    EXPECT_TRUE(harness.App().QuitRequested());
    EXPECT_FALSE(form.ServerSocket1().Active());
}

// The file may hold ALLOW and PASSPHRASE: unread, it lets nobody in.
TEST(TForm1SettingsTest, UnreadableFileEndsCreationBeforeTheOptionsAndLetsNobodyIn)
{
    Form1Harness harness({"/addr:127.0.0.2", "/port:4100", "/mini"});
    // Something that is there but is no file to read.
    ASSERT_EQ(::mkfifo(harness.SettingsFile().c_str(), 0600), 0);
    TForm1& form = harness.Create();

    EXPECT_EQ(harness.Errors(), std::vector<std::string>{"ファイル " + harness.SettingsFile() +
                                                         " は開けません: no peer is allowed"});
    EXPECT_EQ(form.Edit1()->Text(), "192.168.0.1");
    EXPECT_EQ(form.Edit2()->Text(), "3100");
    EXPECT_FALSE(form.Timer3().Enabled());
    EXPECT_EQ(harness.App().MainWindow(), &form);

    const std::uint16_t port = UnusedPort();
    form.Edit2()->SetText(std::to_string(port));
    form.Button3()->click();
    LoopbackPeer peer(ConnectLoopback(port));
    ASSERT_TRUE(RunUntil([&] { return peer.Closed(); }));
    EXPECT_EQ(Status(form), "127.0.0.1 Refused.");
}

// Nothing validates or converts the values: bytes that are not UTF-8 go back
// to the file as they came.
TEST(TForm1SettingsTest, ValuesThatAreNotUtf8AreWrittenBackByteForByte)
{
    Form1Harness harness;
    const std::string stored = "[TESSAROPRO]\r\nLASTIP=\x83\x65\xff.1\r\nLASTPORT=\xc3\x28\r\n\r\n";
    WriteBytes(harness.SettingsFile(), stored);
    TForm1& form = harness.Create();
    form.show();

    form.Button6()->click();

    EXPECT_EQ(FileBytes(harness.SettingsFile()), stored);
    EXPECT_TRUE(harness.Errors().empty());
}
