#include "app/Form.h"

#include "app/Application.h"
#include "base/EventLoop.h"

#include <QAbstractButton>
#include <QCloseEvent>

#include <utility>

TForm::TForm(TApplication& application) : application_(application) {}

void TForm::Close()
{
    closingFromHandler_ = true;
    closeError_ = nullptr;
    close();
    closingFromHandler_ = false;
    if (closeError_) std::rethrow_exception(std::exchange(closeError_, nullptr));
}

void TForm::closeEvent(QCloseEvent* event)
{
    const bool isMain = application_.MainWindow() == this;
    // Qt would hide the window on accepting; the main window waits for the
    // application's clean-up instead.
    event->setAccepted(false);
    try {
        FormClose();
    } catch (...) {
        if (closingFromHandler_)
            closeError_ = std::current_exception();
        else
            ReportEscapedError(std::current_exception());
        return;
    }
    if (isMain)
        application_.RequestQuit();
    else
        event->accept();
}

void TForm::OnClick(QAbstractButton* button, std::function<void()> handler)
{
    connect(button, &QAbstractButton::clicked, this,
            [handler = std::move(handler)] { RunGuarded(handler); });
}
