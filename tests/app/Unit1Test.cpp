#include "app/Application.h"
#include "app/Edit.h"
#include "FakeEventLoop.h"
#include "app/Label.h"
#include "QtTestApplication.h"
#include "RunUntil.h"
#include "app/StatusBar.h"
#include "app/Unit1.h"
#include "base/SysUtils.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct TForm1Test : ::testing::Test {
    std::unique_ptr<TApplication> app = NewTestApplication();
    TForm1* form = nullptr;

    void SetUp() override
    {
        app->SetAppTitle(TApplication::ProgramTitle);
        form = &app->MakeMainWindow<TForm1>();
    }
};

std::string Text(const QAbstractButton* button)
{
    return button->text().toStdString();
}

} // namespace

TEST_F(TForm1Test, WindowHasTheDesignedCaptionPlaceSizeAndNoTitleBarButtons)
{
    EXPECT_EQ(form->windowTitle().toStdString(), "Tessaro II  Standard v2.0");
    EXPECT_EQ(form->pos(), QPoint(192, 116));
    EXPECT_EQ(form->size(), QSize(387, 135));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());

    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
        EXPECT_FALSE(flags & button) << button;
}

TEST_F(TForm1Test, ControlsStartWithTheirDesignedTextPlaceAndState)
{
    EXPECT_EQ(form->GroupBox1()->title().toStdString(), " Server ");
    EXPECT_EQ(form->GroupBox2()->title().toStdString(), " Client ");
    EXPECT_EQ(form->GroupBox1()->geometry(), QRect(8, 8, 92, 97));
    EXPECT_EQ(form->GroupBox2()->geometry(), QRect(108, 8, 170, 97));

    struct Expected {
        QPushButton* button;
        const char* text;
        QRect bounds;
        QWidget* parent;
        bool enabled;
    };
    const std::vector<Expected> buttons = {
        {form->Button1(), "Connect", {116, 32, 75, 25}, form, true},
        {form->Button2(), "Disconnect", {196, 32, 75, 25}, form, false},
        {form->Button3(), "ONLINE", {16, 32, 75, 25}, form, true},
        {form->Button4(), "OFFLINE", {8, 56, 75, 25}, form->GroupBox1(), false},
        {form->Button5(), "hide", {298, 9, 41, 20}, form, true},
        {form->Button6(), "Exit", {344, 8, 41, 21}, form, true},
    };
    for (const Expected& e : buttons) {
        EXPECT_EQ(Text(e.button), e.text);
        EXPECT_EQ(e.button->geometry(), e.bounds) << e.text;
        EXPECT_EQ(e.button->parentWidget(), e.parent) << e.text;
        EXPECT_EQ(e.button->isEnabled(), e.enabled) << e.text;
    }

    EXPECT_EQ(form->Edit1()->Text(), "192.168.0.1");
    EXPECT_EQ(form->Edit1()->geometry(), QRect(174, 68, 95, 20));
    EXPECT_EQ(form->Edit2()->Text(), "3100");
    EXPECT_EQ(form->Edit2()->geometry(), QRect(328, 35, 49, 20));
    EXPECT_TRUE(form->Edit1()->isEnabled());
    EXPECT_TRUE(form->Edit2()->isEnabled());

    EXPECT_EQ(form->Label1()->Caption(), "IPAddress");
    EXPECT_EQ(form->Label1()->parentWidget(), form->GroupBox2());
    EXPECT_LT(form->Label1()->geometry().right() + form->GroupBox2()->x(), form->Edit1()->x());
    EXPECT_LT(form->Label2()->geometry().right(), form->Edit2()->x());
    EXPECT_EQ(form->Label5()->Caption(), "Transfer Byte");
    EXPECT_EQ(form->Label5()->pos(), QPoint(307, 60));
    EXPECT_EQ(form->Image1()->geometry(), QRect(280, 80, 32, 32));
    EXPECT_FALSE(form->Image1()->pixmap().isNull());
    EXPECT_EQ(form->StatusBar1()->geometry(), QRect(0, 116, 387, 19));
}

TEST_F(TForm1Test, CountersAndModeStartEmpty)
{
    EXPECT_EQ(form->PanelText(TForm1::PeerCountPanel), "0");
    EXPECT_EQ(form->PanelText(TForm1::ReceivePanel), "");
    EXPECT_EQ(form->PanelText(TForm1::SendPanel), "");
    EXPECT_EQ(form->PanelText(TForm1::MessagePanel), "");
    EXPECT_EQ(form->Label4()->Caption(), "0/0");
    EXPECT_EQ(form->Label3()->Caption(), "");
    EXPECT_EQ(form->Mode, 0);
    EXPECT_EQ(form->ExpectedSize(), 0);
    EXPECT_EQ(form->ReceivedSize(), 0);
    EXPECT_EQ(form->Receiving(), 0);
    EXPECT_EQ(form->LastText(), "");

    EXPECT_EQ(form->Timer1().Interval(), 500);
    EXPECT_TRUE(form->Timer1().Enabled());
    EXPECT_EQ(form->Timer2().Interval(), 250);
    EXPECT_FALSE(form->Timer2().Enabled());
    EXPECT_EQ(form->Timer3().Interval(), 1000);
    EXPECT_FALSE(form->Timer3().Enabled());
}

TEST_F(TForm1Test, TransferCountStaysRightAlignedAsItGrows)
{
    TLabel* label4 = form->Label4();
    const int right = label4->geometry().right();
    EXPECT_EQ(right, 360 + 18 - 1);
    EXPECT_TRUE(label4->alignment() & Qt::AlignRight);

    label4->SetCaption("12345/67890");
    EXPECT_EQ(label4->geometry().right(), right);
    EXPECT_EQ(label4->y(), 76);
    EXPECT_GE(label4->width(), QFontMetrics(label4->font()).horizontalAdvance("12345/67890"));
}

// At 1x and (app_unit1_test_2x) 2x: a cut text scrolls to keep the cursor in view.
TEST_F(TForm1Test, AddressBoxShowsTheWidestAddressWhole)
{
    TEdit* edit1 = form->Edit1();
    edit1->SetText("255.255.255.255");
    EXPECT_EQ(QFontInfo(edit1->font()).pixelSize(), 12);
    form->show();
    edit1->setCursorPosition(0);
    const QImage atStart = edit1->grab().toImage();
    edit1->end(false);
    EXPECT_EQ(edit1->grab().toImage(), atStart);
}

TEST_F(TForm1Test, StatusPanelsAreThreeNarrowCentredOnesAndTheRestLeftAligned)
{
    TStatusBar* bar = form->StatusBar1();
    ASSERT_EQ(bar->PanelCount(), 4);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(bar->Panel(k)->x(), 25 * k);
        EXPECT_LE(bar->Panel(k)->width(), 25);
        EXPECT_TRUE(bar->Panel(k)->alignment() & Qt::AlignHCenter);
    }
    EXPECT_EQ(bar->Panel(3)->x(), 75);
    EXPECT_EQ(bar->Panel(3)->geometry().right(), bar->width() - 1);
    EXPECT_TRUE(bar->Panel(3)->alignment() & Qt::AlignLeft);

    form->SetPanelText(TForm1::MessagePanel, "sending heartbeat...");
    EXPECT_EQ(form->PanelText(TForm1::MessagePanel), "sending heartbeat...");

    for (int bad : {-1, 4}) {
        try {
            form->SetPanelText(bad, "x");
            ADD_FAILURE() << "panel " << bad << " accepted";
        } catch (const EListError& e) {
            EXPECT_EQ(e.Message(), ListIndexError(bad).Message());
        }
    }
    EXPECT_THROW(form->PanelText(4), EListError);
}

TEST_F(TForm1Test, TabOrderFollowsTheDesign)
{
    std::vector<QWidget*> order;
    QWidget* w = form->Edit1();
    do {
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
        w = w->nextInFocusChain();
    } while (w != form->Edit1() && order.size() < 50);

    const std::vector<QWidget*> expected = {form->Edit1(), form->Button1(), form->Edit2(),   form->Button2(),
                                            form->Button3(), form->Button4(), form->Button5(), form->Button6()};
    EXPECT_EQ(order, expected);
}

TEST_F(TForm1Test, FontIsAJapaneseCapableProportionalFaceAt12Pixels)
{
    const QStringList installed = QFontDatabase::families();
    ASSERT_TRUE(installed.contains("IPAPGothic") || installed.contains("Noto Sans CJK JP"))
        << "no Japanese-capable face installed (fonts-ipafont-gothic)";

    const QFontInfo info(form->Edit1()->font());
    EXPECT_TRUE(info.family() == "IPAPGothic" || info.family() == "Noto Sans CJK JP")
        << info.family().toStdString();
    EXPECT_FALSE(info.fixedPitch());
    EXPECT_EQ(info.pixelSize(), 12);
    EXPECT_TRUE(QFontMetrics(form->font()).inFont(QChar(0x6574))); // 整
}

TEST_F(TForm1Test, EditBoxesLimitTypingButKeepProgramText)
{
    form->show();
    for (TEdit* edit : {form->Edit1(), form->Edit2()}) {
        edit->SetText("");
        edit->setFocus();
        QTest::keyClicks(edit, QString(300, QChar('1')));
        EXPECT_EQ(static_cast<int>(edit->Text().size()), edit->MaxLength());
        edit->SetText("1234567890.1234567890");
        EXPECT_EQ(edit->Text(), "1234567890.1234567890");
    }
    EXPECT_EQ(form->Edit1()->MaxLength(), 253); // the longest host name
    EXPECT_EQ(form->Edit2()->MaxLength(), 5);
}

TEST_F(TForm1Test, ExitRequestsTheQuit)
{
    form->show();
    QTest::mouseClick(form->Button6(), Qt::LeftButton);
    EXPECT_TRUE(app->QuitRequested());
}

TEST_F(TForm1Test, ActivityIndicatorsClearAfterTheTimer)
{
    form->ShowReceiveActivity();
    form->ShowSendActivity();
    EXPECT_EQ(form->PanelText(TForm1::ReceivePanel), "R");
    EXPECT_EQ(form->PanelText(TForm1::SendPanel), "W");
    EXPECT_TRUE(form->Timer2().Enabled());

    ASSERT_TRUE(RunUntil([&] { return form->PanelText(TForm1::ReceivePanel).empty(); }, 3000));
    EXPECT_EQ(form->PanelText(TForm1::SendPanel), "");
    EXPECT_FALSE(form->Timer2().Enabled());
}

TEST_F(TForm1Test, IndicatorCountdownRunsFromTheFirstActivityAfterAClear)
{
    // Virtual time: the window's timers run on a fake loop.
    FakeEventLoop fake;
    SetMainLoop(&fake);
    {
        TForm1 window(*app);
        window.ShowReceiveActivity();
        fake.Advance(150);
        window.ShowSendActivity(); // Timer2 already counting: not restarted
        fake.Advance(99);
        EXPECT_EQ(window.PanelText(TForm1::ReceivePanel), "R");
        EXPECT_EQ(window.PanelText(TForm1::SendPanel), "W");
        fake.Advance(1);
        EXPECT_EQ(window.PanelText(TForm1::ReceivePanel), "");
        EXPECT_EQ(window.PanelText(TForm1::SendPanel), "");
        EXPECT_FALSE(window.Timer2().Enabled());

        // The next activity starts a fresh countdown.
        fake.Advance(1000);
        window.ShowSendActivity();
        fake.Advance(249);
        EXPECT_EQ(window.PanelText(TForm1::SendPanel), "W");
        fake.Advance(1);
        EXPECT_EQ(window.PanelText(TForm1::SendPanel), "");
    }
    SetMainLoop(&app->Loop());
}
