// "hide" and the notification icon's restore on TForm1, with and without a
// notification area (offscreen has none; the tests stand in for one).
#include "app/Application.h"
#include "app/Edit.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "Unit1TestSupport.h"

#include <QApplication>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

namespace {

struct TForm1TrayTest : ::testing::Test {
    Form1Harness harness;
    TForm1& form = harness.Create();

    void SetUp() override
    {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(RunUntil([&] { return form.isActiveWindow(); }));
    }
    // Off the screen: hidden to the icon, or minimised to the taskbar.
    bool Gone() const { return form.isHidden() || form.isMinimized(); }
    // The control that has the focus whenever the window is active.
    QWidget* Focused() const { return form.focusWidget(); }
};

} // namespace

TEST_F(TForm1TrayTest, HideMinimisesWithoutANotificationAreaAndALeftPressRestores)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "offscreen has no notification area";
    form.Edit2()->setFocus();

    form.Button5()->click();
    EXPECT_TRUE(form.isMinimized());
    EXPECT_FALSE(form.isHidden()) << "a hidden window would have no way back";

    form.TrayNotify(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(Gone());
    EXPECT_EQ(Focused(), form.Edit1());
    EXPECT_TRUE(RunUntil([&] { return QApplication::focusWidget() == form.Edit1(); }));

    // Pressed while shown: only the focus moves.
    form.Edit2()->setFocus();
    form.TrayNotify(QSystemTrayIcon::Trigger);
    EXPECT_EQ(Focused(), form.Edit1());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TrayTest, HideHidesWithANotificationAreaAndALeftPressRestores)
{
    EXPECT_EQ(form.TrayIcon()->toolTip().toStdString(), "Tessaro II");
    form.SetTrayAvailability([] { return true; });
    form.Edit2()->setFocus();

    form.Button5()->click();
    EXPECT_TRUE(form.isHidden());

    form.TrayNotify(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    // Offscreen Qt does not hand the active state back to a window shown
    // again after hide(), so only the box to be focused can be checked here.
    EXPECT_EQ(Focused(), form.Edit1());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TrayTest, LeftPressRestoresWithoutFocusingADisabledAddressBox)
{
    for (const bool tray : {true, false}) {
        form.SetTrayAvailability([tray] { return tray; });
        form.Edit1()->setEnabled(false); // as in client mode
        form.Edit2()->setFocus();

        form.Button5()->click();
        ASSERT_TRUE(Gone()) << tray;
        form.TrayNotify(QSystemTrayIcon::Trigger);
        EXPECT_FALSE(Gone()) << tray;
        EXPECT_EQ(Focused(), form.Edit2()) << tray;
        form.Edit1()->setEnabled(true);
    }
}

TEST_F(TForm1TrayTest, OnlyALeftPressRestores)
{
    for (const bool tray : {true, false}) {
        form.SetTrayAvailability([tray] { return tray; });
        form.Button5()->click();
        ASSERT_TRUE(Gone()) << tray;
        for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                                  QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
            form.TrayNotify(reason);
        EXPECT_TRUE(Gone()) << tray;
        form.TrayNotify(QSystemTrayIcon::Trigger);
        EXPECT_FALSE(Gone()) << tray;
    }
}
