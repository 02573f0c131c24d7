#include "app/Application.h"

#include "app/Form.h"
#include "app/QtClipboardBackend.h"
#include "app/QtEventLoop.h"
#include "app/QuitSignals.h"
#include "base/EventLoop.h"
#include "base/SysUtils.h"
#include "transfer/Clipbrd.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace {

// The desktop session's end reaches a Qt program as a Quit event sent to the
// application object (the session manager's "die"). Left to Qt, that event
// would close the windows and so run the close handler; here it only ends the
// loop, without the close handler.
class SessionEndFilter final : public QObject {
public:
    explicit SessionEndFilter(std::function<void()> onSessionEnd) : onSessionEnd_(std::move(onSessionEnd)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != QCoreApplication::instance() || event->type() != QEvent::Quit) return false;
        RunGuarded(onSessionEnd_);
        return true;
    }

private:
    std::function<void()> onSessionEnd_;
};

// Error boxes open when the session ends would hold their nested loops, and
// so the program, until someone dismisses them; they go at once instead.
void CloseModalBoxes()
{
    constexpr int MaxBoxes = 64; // a box that refuses to close must not hang the quit
    for (int i = 0; i < MaxBoxes; ++i) {
        QWidget* box = QApplication::activeModalWidget();
        if (!box || !box->close()) return;
    }
}

std::string BaseName(const char* path)
{
    const std::string_view whole(path ? path : "");
    const std::size_t slash = whole.rfind('/');
    return std::string(slash == std::string_view::npos ? whole : whole.substr(slash + 1));
}

void WakeLoop()
{
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : argc_(argc), argv_(argv)
{
    for (int i = 0; i < argc; ++i) arguments_.emplace_back(argv[i] ? argv[i] : "");
    appTitle_ = BaseName(argc > 0 ? argv[0] : nullptr);

    if (!QCoreApplication::instance()) ownQtApplication_ = std::make_unique<QApplication>(argc_, argv_);
    // Hiding to the notification area leaves no visible window; an error box
    // closed then must not end the program. Quitting is this object's call.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ProgramIcon());

    SetClipboardBackend(std::make_unique<QtClipboardBackend>());
    loop_ = std::make_unique<QtEventLoop>();
    SetMainLoop(loop_.get());
    SetErrorReporter([this](std::exception_ptr error) { ReportError(error); });

    sessionEndFilter_ = std::make_unique<SessionEndFilter>([this] { EndSession(); });
    QCoreApplication::instance()->installEventFilter(sessionEndFilter_.get());
    quitSignals_ = std::make_unique<TQuitSignals>(*loop_, [this] { EndSession(); });
}

TApplication::~TApplication()
{
    DestroyWindows();
    quitSignals_.reset();
    QCoreApplication::instance()->removeEventFilter(sessionEndFilter_.get());
    sessionEndFilter_.reset();
    // Qt objects the loop released with deleteLater go now, while Qt is up.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    SetErrorReporter(nullptr);
    SetClipboardBackend(nullptr); // it holds on to Qt's clipboard
    SetMainLoop(nullptr);
    loop_.reset();
}

EventLoop& TApplication::Loop()
{
    return *loop_;
}

TSettingsLocation TApplication::SettingsLocation() const
{
    return settingsFile_.empty() ? ::SettingsLocation() : TSettingsLocation(settingsFile_);
}

void TApplication::MinimiseApp()
{
    QWidget* window = mainWindow_;
    if (!window || window->isMinimized() || window->isHidden()) return;
    window->showMinimized();
}

void TApplication::RestoreApp()
{
    QWidget* window = mainWindow_;
    if (!window || (!window->isMinimized() && !window->isHidden())) return;
    window->showNormal();
    window->raise();
    // The control that had the focus gets it back with the window.
    if (QWidget* focus = window->focusWidget()) focus->setFocus();
}

void TApplication::BringForward()
{
    QWidget* window = mainWindow_;
    if (!window) return;
    RestoreApp();
    window->raise();
    window->activateWindow();
}

void TApplication::Adopt(std::unique_ptr<TForm> window)
{
    TForm* form = window.get();
    windows_.push_back(std::move(window));
    RunGuarded([form] { form->FormCreate(); });
    if (!mainWindow_) mainWindow_ = form;
}

void TApplication::DestroyWindows()
{
    // Newest first; each window leaves the screen before its destroy handler.
    while (!windows_.empty()) {
        std::unique_ptr<TForm> window = std::move(windows_.back());
        windows_.pop_back();
        window->hide();
        RunGuarded([&window] { window->FormDestroy(); });
        if (mainWindow_ == window.get()) mainWindow_ = nullptr;
    }
}

void TApplication::RunLoop()
{
    if (!mainWindow_) return;
    mainWindow_->show();
    while (!quitRequested_)
        RunGuarded([] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
}

void TApplication::RequestQuit()
{
    quitRequested_ = true;
    WakeLoop();
}

void TApplication::EndSession()
{
    // No close handler on this path: the settings are not written.
    RequestQuit();
    CloseModalBoxes();
}

void TApplication::ReportError(std::exception_ptr error)
{
    // A drag or a held button must not stay half done behind the box.
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    ShowErrorBox(error);
}

void TApplication::ShowErrorBox(std::exception_ptr error)
{
    const ErrorBoxContent content = ErrorBoxFor(error);
    const QPointer<QWidget> active = QApplication::activeWindow();
    const QPointer<QWidget> focus = QApplication::focusWidget();

    QMessageBox box(QMessageBox::Critical, QString::fromStdString(content.caption),
                    QString::fromStdString(content.text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText); // a message is never markup
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();

    if (active) active->activateWindow();
    if (focus) focus->setFocus();
}

TApplication::ErrorBoxContent TApplication::ErrorBoxFor(std::exception_ptr error) const
{
    return {ErrorBoxText(ErrorMessage(error)), appTitle_};
}

std::string TApplication::ErrorBoxText(std::string_view message)
{
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        text += '.';
    return text;
}

std::string TApplication::ErrorMessage(std::exception_ptr error)
{
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return {};
    }
}
