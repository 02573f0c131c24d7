// TForm1's notification-area icon, "hide", the "/mini" timer and the restore
// sequence.
#include "app/Unit1.h"

#include "app/Application.h"
#include "app/Edit.h"

#include <QSystemTrayIcon>

void TForm1::AddTrayIcon()
{
    trayIcon_ = std::make_unique<QSystemTrayIcon>(TApplication::ProgramIcon());
    trayIcon_->setToolTip(QString::fromStdString(Application().AppTitle()));
    QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) { RunGuarded([&] { TrayNotify(reason); }); });
    // Where no notification area runs, the icon simply does not appear.
    trayIcon_->show();
}

void TForm1::FormDestroy()
{
    trayIcon_.reset();
}

void TForm1::TrayNotify(int reason)
{
    // A left-button press is a Trigger. The right button, the double-click's
    // second press and the middle button do nothing.
    if (reason != QSystemTrayIcon::Trigger) return;
    Application().RestoreApp();
    // Focus and foreground only while the address box can take the focus
    // (not in client mode); failing that, silently nothing.
    if (!edit1_->isEnabled() || !isVisible()) return;
    edit1_->setFocus();
    raise();
    activateWindow();
}

void TForm1::Button5Click()
{
    // Without a notification area a hidden program would have no way back
    // (and a second copy cannot start while it runs): minimise instead.
    if (trayAvailable_ ? trayAvailable_() : QSystemTrayIcon::isSystemTrayAvailable())
        hide();
    else
        Application().MinimiseApp();
}

void TForm1::Timer3Timer()
{
    // One tick in the program's life.
    timer3_.SetEnabled(false);
    timer3_.SetOnTimer(nullptr);
    Button5Click();
}
