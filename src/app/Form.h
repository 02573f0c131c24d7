// TForm: the base of the program's windows. A top-level widget owned by the
// application object, with the handlers TApplication calls at the window's
// creation and destruction, and the close sequence: FormClose, then, for the
// main window, the quit request.
//
// The main window does not leave the screen when it is closed: it stays until
// the application destroys it after the loop has ended, so that the program
// winds down in its fixed order. Made on the loop's thread only.
#pragma once

#include <QWidget>

#include <exception>
#include <functional>

class QAbstractButton;
class TApplication;

class TForm : public QWidget {
public:
    explicit TForm(TApplication& application);

    TApplication& Application() const { return application_; }

    // Run by TApplication under the guard: FormCreate once the window is
    // built, FormDestroy after it has been hidden for good.
    virtual void FormCreate() {}
    virtual void FormDestroy() {}
    // Part of every close. An error leaving it abandons the close: the
    // window stays and no quit is requested.
    virtual void FormClose() {}

    // Closes the window from a handler ("Exit"). An error from FormClose is
    // thrown on to the caller, so the rest of that handler is skipped and its
    // guard shows the error. A close from elsewhere (the window manager)
    // reports such an error itself.
    void Close();

protected:
    void closeEvent(QCloseEvent* event) override;

    // Connects a button's click to `handler`, run under the guard.
    void OnClick(QAbstractButton* button, std::function<void()> handler);

private:
    TApplication& application_;
    bool closingFromHandler_ = false;
    std::exception_ptr closeError_;
};
