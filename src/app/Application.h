// TApplication: the application object. One per process, made by the entry
// after the single-instance check; it owns the Qt application (unless one
// exists already, as in tests), the event loop every component uses, the
// windows made through MakeMainWindow, and the error box that every guard
// reports to. Call it only from the loop's thread.
//
// Ending: a close of the main window requests the quit (TForm); SIGTERM,
// SIGHUP and the end of the desktop session request it directly, without the
// close handler, and dismiss any open error box. RunLoop then returns, and
// destroying the object
// hides each window and runs its FormDestroy before its controls go.
#pragma once

#include "store/Settings.h"

#include <QIcon>

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class EventLoop;
class QApplication;
class QObject;
class QtEventLoop;
class TForm;
class TQuitSignals;

class TApplication {
public:
    static constexpr const char* ProgramTitle = "Tessaro II";

    // `argc` must outlive the object (Qt keeps a reference to it).
    TApplication(int& argc, char** argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // The title of error boxes and, later, of the notification icon. Until
    // set it is the program file's name.
    const std::string& AppTitle() const { return appTitle_; }
    void SetAppTitle(std::string title) { appTitle_ = std::move(title); }

    // The program icon (32x32 and 16x16, compiled in). Needs the Qt
    // application to exist.
    static QIcon ProgramIcon();

    // The command line as the program was started, argv[0] first, before Qt
    // took any of its own options out.
    const std::vector<std::string>& Arguments() const { return arguments_; }
    int& Argc() const { return argc_; }
    char** Argv() const { return argv_; }

    EventLoop& Loop();

    // Where the main window keeps its settings: beside the executable or in
    // the user's configuration folder (Settings.h), unless set (tests point
    // it at a private file before making the window).
    TSettingsLocation SettingsLocation() const;
    std::string SettingsFile() const { return SettingsLocation().File; }
    void SetSettingsFile(std::string path) { settingsFile_ = std::move(path); }

    // The program's three states on the desktop: Shown, Minimised (only the
    // taskbar entry) and Hidden (only the notification icon). Minimising an
    // already minimised or hidden program does nothing; restoring brings a
    // minimised or hidden main window back as it was and does nothing while
    // it is shown.
    void MinimiseApp();
    void RestoreApp();
    // What a second launch asks for: the main window restored when minimised
    // or hidden, raised and activated.
    void BringForward();

    // Constructs a window owned by this object and runs its FormCreate under
    // the guard (an error there is reported and construction counts as
    // done). The first window so made becomes MainWindow once FormCreate has
    // run. An error from the constructor itself propagates to the caller.
    template <class TWindow>
    TWindow& MakeMainWindow()
    {
        auto window = std::make_unique<TWindow>(*this);
        TWindow& made = *window;
        Adopt(std::move(window));
        return made;
    }
    TForm* MainWindow() const { return mainWindow_; }

    // Shows the main window and runs the loop pass by pass until a quit is
    // requested; returns at once without a main window.
    void RunLoop();
    // Makes the loop end after the current pass. Safe from any handler.
    void RequestQuit();
    bool QuitRequested() const { return quitRequested_; }

    // What every guard does with an escaped error: cancels a mouse grab or
    // an open popup, then shows the error box.
    void ReportError(std::exception_ptr error);
    // A modal box with the message, the critical icon and one OK button. The
    // loop keeps delivering timer ticks and socket events while it is up.
    void ShowErrorBox(std::exception_ptr error);

    struct ErrorBoxContent {
        std::string text;
        std::string caption;
    };
    ErrorBoxContent ErrorBoxFor(std::exception_ptr error) const;
    // The message with "." added when its last character's code is above
    // that of "." (every byte of a multi-byte character counts as above).
    static std::string ErrorBoxText(std::string_view message);
    // The message of an Exception or std::exception; empty for anything else.
    static std::string ErrorMessage(std::exception_ptr error);

private:
    void Adopt(std::unique_ptr<TForm> window);
    // SIGTERM, SIGHUP or the desktop session's end.
    void EndSession();
    void DestroyWindows();

    int& argc_;
    char** argv_;
    std::vector<std::string> arguments_;
    std::string appTitle_;
    std::string settingsFile_;
    std::unique_ptr<QApplication> ownQtApplication_;
    std::unique_ptr<QtEventLoop> loop_;
    std::unique_ptr<TQuitSignals> quitSignals_;
    std::unique_ptr<QObject> sessionEndFilter_;
    std::vector<std::unique_ptr<TForm>> windows_;
    TForm* mainWindow_ = nullptr;
    bool quitRequested_ = false;
};
