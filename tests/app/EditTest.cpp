#include "app/Edit.h"
#include "QtTestApplication.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

struct TEditTest : ::testing::Test {
    QWidget window;
    TEdit* edit = new TEdit(&window, 5);

    void SetUp() override
    {
        window.show();
        edit->setFocus();
    }
};

} // namespace

TEST_F(TEditTest, TypingStopsAtTheLimit)
{
    edit->SetText("");
    QTest::keyClicks(edit, "123456789");
    EXPECT_EQ(edit->Text(), "12345");

    // Replacing a selection in a full box is not growing it.
    edit->selectAll();
    QTest::keyClicks(edit, "9");
    EXPECT_EQ(edit->Text(), "9");
}

TEST_F(TEditTest, ProgramTextIsNeverCutAndMayShrinkButNotGrow)
{
    edit->SetText("192.168.100.200");
    EXPECT_EQ(edit->Text(), "192.168.100.200");
    edit->setText(QStringLiteral("abcdefghij")); // through the Qt interface too
    EXPECT_EQ(edit->Text(), "abcdefghij");

    edit->end(false);
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->Text(), "abcdefghi");
    QTest::keyClicks(edit, "xy");
    EXPECT_EQ(edit->Text(), "abcdefghi");

    // The limit holds again once the text is short.
    edit->SetText("");
    QTest::keyClicks(edit, "1234567");
    EXPECT_EQ(edit->Text(), "12345");
}

TEST_F(TEditTest, PasteIsCutToTheRoomLeft)
{
    QApplication::clipboard()->setText(QStringLiteral("abcdefgh"));
    edit->SetText("12");
    edit->end(false);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->Text(), "12abc");

    // Nothing fits into a full box.
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->Text(), "12abc");
}
