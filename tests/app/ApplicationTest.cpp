#include "app/Application.h"
#include "app/Form.h"
#include "QtTestApplication.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "base/SysUtils.h"
#include "base/Timer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int DeadlineMs = 5000;

// What a probe window does in its handlers and what it saw.
struct Script {
    std::function<void()> onCreate;
    std::function<void()> onClose;
    std::function<void()> onDestroy;
    int closes = 0;
    bool createFinished = false;
    bool hadMainWindowDuringCreate = false;
    bool visibleAtDestroy = true;
    bool destroyed = false;
};
Script* g_script = nullptr;

class ProbeForm : public TForm {
public:
    explicit ProbeForm(TApplication& application) : TForm(application) {}

    void FormCreate() override
    {
        g_script->hadMainWindowDuringCreate = Application().MainWindow() != nullptr;
        if (g_script->onCreate) g_script->onCreate();
        g_script->createFinished = true;
    }
    void FormClose() override
    {
        ++g_script->closes;
        if (g_script->onClose) g_script->onClose();
    }
    void FormDestroy() override
    {
        g_script->visibleAtDestroy = isVisible();
        g_script->destroyed = true;
        if (g_script->onDestroy) g_script->onDestroy();
    }
};

class ConstructionFails : public TForm {
public:
    explicit ConstructionFails(TApplication& application) : TForm(application)
    {
        throw Exception("cannot build");
    }
};

struct TApplicationTest : ::testing::Test {
    std::unique_ptr<TApplication> app = NewTestApplication();
    Script script;
    std::vector<std::string> reported;

    void SetUp() override
    {
        g_script = &script;
        app->SetAppTitle(TApplication::ProgramTitle);
        SetErrorReporter([this](std::exception_ptr e) { reported.push_back(TApplication::ErrorMessage(e)); });
    }
    void TearDown() override
    {
        app.reset();
        g_script = nullptr;
    }

    // Runs the application's loop; gives up (and says so) after the deadline.
    bool RunLoopWithDeadline()
    {
        bool timedOut = false;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [&] {
            timedOut = true;
            app->RequestQuit();
        });
        deadline.start(DeadlineMs);
        app->RunLoop();
        return !timedOut;
    }
};

} // namespace

TEST(ErrorBoxTextTest, PeriodFollowsOnlyCharactersAboveThePeriod)
{
    EXPECT_EQ(TApplication::ErrorBoxText("Connection refused"), "Connection refused.");
    EXPECT_EQ(TApplication::ErrorBoxText("code 10061"), "code 10061.");
    EXPECT_EQ(TApplication::ErrorBoxText("why?"), "why?.");
    EXPECT_EQ(TApplication::ErrorBoxText("list [3]"), "list [3].");
    EXPECT_EQ(TApplication::ErrorBoxText("'abc' は整数ではありません"), "'abc' は整数ではありません.");
    EXPECT_EQ(TApplication::ErrorBoxText(NotAnIntegerError("x").Message()),
              NotAnIntegerError("x").Message() + ".");

    for (const char* unchanged : {"Stop!", "(10061)", "done.", "a,", "a-", "trailing ", "line\n", ""})
        EXPECT_EQ(TApplication::ErrorBoxText(unchanged), unchanged) << '"' << unchanged << '"';
}

TEST_F(TApplicationTest, ErrorBoxIsCaptionedWithTheTitleNotTheWindowCaption)
{
    TForm1& form = app->MakeMainWindow<TForm1>();
    ASSERT_NE(form.windowTitle().toStdString(), "Tessaro II");

    const auto content = app->ErrorBoxFor(std::make_exception_ptr(EConvertError("bad port")));
    EXPECT_EQ(content.caption, "Tessaro II");
    EXPECT_EQ(content.text, "bad port.");

    EXPECT_EQ(app->ErrorBoxFor(std::make_exception_ptr(std::runtime_error("plain"))).text, "plain.");
    EXPECT_EQ(app->ErrorBoxFor(std::make_exception_ptr(42)).text, "");
}

TEST_F(TApplicationTest, ErrorBoxKeepsTimersTickingAndAnErrorAmongThemOpensAFurtherBox)
{
    SetErrorReporter([this](std::exception_ptr e) { app->ReportError(e); });

    int ticks = 0;
    TTimer ticker;
    ticker.SetInterval(10);
    ticker.SetOnTimer([&] {
        if (++ticks == 3) throw Exception("second");
    });

    struct Seen {
        std::string text, title;
        QMessageBox::Icon icon;
        int buttons;
    };
    std::vector<Seen> boxes;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        const std::string text = box->text().toStdString();
        if (boxes.empty() || boxes.back().text != text)
            boxes.push_back({text, box->windowTitle().toStdString(), box->icon(),
                             static_cast<int>(box->buttons().size())});
        // The first box stays until the ticks have gone on past the second.
        const bool late = elapsed.elapsed() > DeadlineMs;
        if (text == "second." || (text == "first." && ticks >= 6) || late)
            box->button(QMessageBox::Ok)->click();
    });
    closer.start(5);

    app->ReportError(std::make_exception_ptr(Exception("first")));

    EXPECT_GE(ticks, 6);
    ASSERT_EQ(boxes.size(), 3u); // first, second on top of it, first again
    EXPECT_EQ(boxes[0].text, "first.");
    EXPECT_EQ(boxes[1].text, "second.");
    EXPECT_EQ(boxes[2].text, "first.");
    for (const Seen& box : boxes) {
        EXPECT_EQ(box.title, "Tessaro II");
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, 1);
    }
}

TEST_F(TApplicationTest, FormCreateErrorIsReportedAndConstructionCarriesOn)
{
    script.onCreate = [] { throw EFOpenError("cannot open settings"); };

    ProbeForm& form = app->MakeMainWindow<ProbeForm>();

    EXPECT_EQ(reported, std::vector<std::string>{"cannot open settings"});
    EXPECT_FALSE(script.createFinished);
    EXPECT_FALSE(script.hadMainWindowDuringCreate);
    EXPECT_EQ(app->MainWindow(), &form);
}

TEST_F(TApplicationTest, ConstructionErrorReachesTheCallerAndLeavesNoMainWindow)
{
    EXPECT_THROW(app->MakeMainWindow<ConstructionFails>(), Exception);
    EXPECT_EQ(app->MainWindow(), nullptr);
    app->RunLoop(); // returns at once without a main window
    EXPECT_TRUE(reported.empty());
}

TEST_F(TApplicationTest, CloseRunsFormCloseThenRequestsQuitWithTheWindowStillShown)
{
    ProbeForm& form = app->MakeMainWindow<ProbeForm>();
    form.show();

    form.Close();

    EXPECT_EQ(script.closes, 1);
    EXPECT_TRUE(app->QuitRequested());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(TApplicationTest, FormCloseErrorAbandonsTheCloseAndALaterCloseTriesAgain)
{
    ProbeForm& form = app->MakeMainWindow<ProbeForm>();
    form.show();
    script.onClose = [] { throw EFCreateError("cannot write settings"); };

    // From a handler: the error goes on to the handler's guard.
    EXPECT_THROW(form.Close(), EFCreateError);
    // From the window manager: reported by the window itself.
    form.close();
    EXPECT_EQ(reported, std::vector<std::string>{"cannot write settings"});
    EXPECT_FALSE(app->QuitRequested());
    EXPECT_TRUE(form.isVisible());

    script.onClose = nullptr;
    form.Close();
    EXPECT_EQ(script.closes, 3);
    EXPECT_TRUE(app->QuitRequested());
}

TEST_F(TApplicationTest, ExitEndsTheLoopWithTheWindowStillShown)
{
    TForm1& form = app->MakeMainWindow<TForm1>();
    QTimer::singleShot(0, form.Button6(), [&form] { form.Button6()->click(); });

    ASSERT_TRUE(RunLoopWithDeadline());
    EXPECT_TRUE(form.isVisible()); // until the application is destroyed
    EXPECT_TRUE(reported.empty());
}

TEST_F(TApplicationTest, DestroyingTheApplicationHidesTheWindowThenRunsGuardedFormDestroy)
{
    ProbeForm& form = app->MakeMainWindow<ProbeForm>();
    form.show();
    script.onDestroy = [] { throw Exception("tray gone"); };

    app.reset();

    EXPECT_TRUE(script.destroyed);
    EXPECT_FALSE(script.visibleAtDestroy);
}

TEST_F(TApplicationTest, QuitSignalsEndTheLoopWithoutFormClose)
{
    for (int signalNumber : {SIGTERM, SIGHUP}) {
        app.reset(); // one application object at a time
        app = NewTestApplication();
        SetErrorReporter([this](std::exception_ptr e) { reported.push_back(TApplication::ErrorMessage(e)); });
        app->MakeMainWindow<ProbeForm>();
        QTimer::singleShot(0, [signalNumber] { std::raise(signalNumber); });

        ASSERT_TRUE(RunLoopWithDeadline()) << "signal " << signalNumber;
        EXPECT_EQ(script.closes, 0);
    }
}

TEST_F(TApplicationTest, QuitSignalDismissesOpenErrorBoxes)
{
    SetErrorReporter([this](std::exception_ptr e) { app->ReportError(e); });
    bool nestedShown = false;
    QTimer opener;
    QObject::connect(&opener, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() && !nestedShown) {
            nestedShown = true;
            app->ReportError(std::make_exception_ptr(Exception("inner"))); // a box over the box
        }
    });
    opener.start(5);
    QTimer terminator;
    QObject::connect(&terminator, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->text() == "inner.") std::raise(SIGTERM);
    });
    terminator.start(5);
    QTimer deadline;
    deadline.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        timedOut = true;
        while (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    deadline.start(DeadlineMs);

    app->ReportError(std::make_exception_ptr(Exception("outer")));

    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(nestedShown);
    EXPECT_TRUE(app->QuitRequested());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(TApplicationTest, SessionEndEndsTheLoopWithoutFormClose)
{
    app->MakeMainWindow<ProbeForm>();
    QTimer::singleShot(0, [] {
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
    });

    ASSERT_TRUE(RunLoopWithDeadline());
    EXPECT_EQ(script.closes, 0);
}

// 1x artwork, and the sizes a 1.5x or 2x desktop asks for (compiled-in
// resources, which a static library can lose on the way to the program).
TEST_F(TApplicationTest, ProgramIconHasItsSizesForScaledDesktops)
{
    const QList<QSize> sizes = TApplication::ProgramIcon().availableSizes();
    for (const int size : {16, 24, 32, 48, 64}) EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
}
