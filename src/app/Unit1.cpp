#include "app/Unit1.h"

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/Edit.h"
#include "app/Label.h"
#include "app/LinkWatcher.h"
#include "app/StatusBar.h"
#include "base/SysUtils.h"
#include "store/Settings.h"

#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <optional>
#include <string_view>

namespace {

constexpr const char* Caption = "Tessaro II  Standard v2.0";
constexpr QRect WindowBounds(192, 116, 387, 135); // client area on the screen
constexpr int FontPixelSize = 12;

constexpr int Timer2IntervalMs = 250;

// The longest host name.
constexpr int Edit1MaxLength = 253;
// The address box shows this whole, as it does every shorter address.
constexpr const char* WidestAddress = "255.255.255.255";
constexpr int Edit2MaxLength = 5;
constexpr int IconSizePx = 32;

constexpr int PeerCountPanelWidthPx = 25;
constexpr int ReceivePanelWidthPx = 25;
constexpr int SendPanelWidthPx = 25;

// The most peers MAXPEERS may ask the server to relay between.
constexpr int MaxPeersLimit = 32;

// A Japanese-capable proportional face; without either, the default face.
QFont WindowFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP")});
    font.setPixelSize(FontPixelSize);
    return font;
}

QPushButton* MakeButton(QWidget* parent, const char* text, QRect bounds, bool enabled)
{
    auto* button = new QPushButton(QString::fromUtf8(text), parent);
    button->setGeometry(bounds);
    button->setEnabled(enabled);
    return button;
}

TEdit* MakeEdit(QWidget* parent, int maxLength, std::string_view text, QRect bounds)
{
    auto* edit = new TEdit(parent, maxLength);
    edit->SetText(text);
    edit->setGeometry(bounds);
    return edit;
}

QGroupBox* MakeGroupBox(QWidget* parent, const char* title, QRect bounds)
{
    auto* box = new QGroupBox(QString::fromUtf8(title), parent);
    box->setGeometry(bounds);
    return box;
}

} // namespace

TForm1::TForm1(TApplication& application)
    : TForm(application)
{
    // No title-bar buttons at all: no system menu, no minimise, maximise or
    // close box. The window leaves by "Exit" (or "hide").
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QString::fromUtf8(Caption));
    setWindowIcon(TApplication::ProgramIcon());
    setFont(WindowFont());
    setFixedSize(WindowBounds.size());
    move(WindowBounds.topLeft());

    BuildControls();
    ArrangeTabOrder();

    BindSockets();

    timer1_.SetInterval(WatcherTickMs);
    timer1_.SetOnTimer([this] { Timer1Timer(); });
    timer2_.SetEnabled(false);
    timer2_.SetInterval(Timer2IntervalMs);
    timer2_.SetOnTimer([this] { Timer2Timer(); });
    timer3_.SetEnabled(false);
    timer3_.SetOnTimer([this] { Timer3Timer(); });
    lookTimer_.SetEnabled(false);
    lookTimer_.SetOnTimer([this] { LookTimerTick(); });
    SharedClipboard().SetOnChange([this] { RunGuarded([this] { ClipboardChanged(); }); });

    OnClick(button1_, [this] { Button1Click(); });
    OnClick(button2_, [this] { Button2Click(); });
    OnClick(button3_, [this] { Button3Click(); });
    OnClick(button4_, [this] { Button4Click(); });
    OnClick(button5_, [this] { Button5Click(); });
    OnClick(button6_, [this] { Button6Click(); });
}

TForm1::~TForm1()
{
    SharedClipboard().SetOnChange(nullptr);
}

void TForm1::BuildControls()
{
    // Creation order is stacking order: controls laid over a group box come
    // after it. The labels left of an edit box keep their right edge and grow
    // to the left: the faces here may run a few pixels wider than the
    // bounds, and would otherwise run into the box.
    groupBox1_ = MakeGroupBox(this, " Server ", {8, 8, 92, 97});
    button4_ = MakeButton(groupBox1_, "OFFLINE", {8, 56, 75, 25}, false);
    button3_ = MakeButton(this, "ONLINE", {16, 32, 75, 25}, true);

    groupBox2_ = MakeGroupBox(this, " Client ", {108, 8, 170, 97});
    label1_ = new TLabel(groupBox2_, "IPAddress", QRect(11, 64, 51, 12), Qt::AlignRight);
    button1_ = MakeButton(this, "Connect", {116, 32, 75, 25}, true);
    button2_ = MakeButton(this, "Disconnect", {196, 32, 75, 25}, false);
    edit1_ = MakeEdit(this, Edit1MaxLength, DefaultPeerAddress, {174, 68, 95, 20});
    edit1_->FitWhole(QString::fromLatin1(WidestAddress));

    label2_ = new TLabel(this, "Port No.", QRect(285, 38, 41, 12), Qt::AlignRight);
    edit2_ = MakeEdit(this, Edit2MaxLength, IntToStr(DefaultPeerPort), {328, 35, 49, 20});
    label5_ = new TLabel(this, "Transfer Byte", QPoint(307, 60));
    label4_ = new TLabel(this, "0/0", QRect(360, 76, 18, 12), Qt::AlignRight);
    label3_ = new TLabel(this, "", QPoint(316, 96));

    image1_ = new QLabel(this);
    image1_->setGeometry(280, 80, IconSizePx, IconSizePx);
    image1_->setPixmap(TApplication::ProgramIcon().pixmap(IconSizePx, IconSizePx));

    button5_ = MakeButton(this, "hide", {298, 9, 41, 20}, true);
    button6_ = MakeButton(this, "Exit", {344, 8, 41, 21}, true);

    statusBar1_ = new TStatusBar(this, {0, 116, 387, 19},
                                 {{PeerCountPanelWidthPx, Qt::AlignHCenter, "0"},
                                  {ReceivePanelWidthPx, Qt::AlignHCenter, ""},
                                  {SendPanelWidthPx, Qt::AlignHCenter, ""},
                                  {0, Qt::AlignLeft, ""}});
}

void TForm1::ArrangeTabOrder()
{
    // The tab order is Edit1, Button1, Edit2, Button2, Button3, GroupBox1,
    // GroupBox2, Button5, Button6. A group box takes no focus of
    // its own: tabbing into GroupBox1 reaches Button4, and GroupBox2 holds
    // nothing that takes focus.
    QWidget* const order[] = {edit1_, button1_, edit2_, button2_, button3_, button4_, button5_, button6_};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    edit1_->setFocus();
}

void TForm1::SetPanelText(int k, std::string_view text)
{
    statusBar1_->SetPanelText(k, text);
}

std::string TForm1::PanelText(int k) const
{
    return statusBar1_->PanelText(k);
}

void TForm1::ShowReceiveActivity()
{
    SetPanelText(ReceivePanel, "R");
    timer2_.SetEnabled(true);
}

void TForm1::ShowSendActivity()
{
    SetPanelText(SendPanel, "W");
    timer2_.SetEnabled(true);
}

void TForm1::FormCreate()
{
    AddTrayIcon();
    Mode = 0;
    receiver_.Reset();
    receiverSource_ = nullptr;
    watcher_.ClearLastText();
    // Nobody is let in or out until the peer keys are read: a settings file
    // that cannot be read must not turn its ALLOW and PASSPHRASE off.
    TCustomWinSocket::SetPeerFilter(AddressFilter::Nobody());
    try {
        ReadSettingsIntoBoxes();
    } catch (const EFOpenError& e) {
        throw EFOpenError(e.Message() + ": no peer is allowed");
    }
    ApplyWireEncoding();
    ApplyPeerPolicy();
    WatchLink();
    ApplyCommandLine();
}

void TForm1::FormClose()
{
    WriteSettingsFromBoxes();
    ServerOffline();
}

void TForm1::Button6Click()
{
    WriteSettingsFromBoxes();
    ServerOffline();
    Close();
}

void TForm1::ReadSettingsIntoBoxes()
{
    const TStoredPeer stored = ReadSettings(Application().SettingsLocation());
    edit1_->SetText(stored.LastIp);
    edit2_->SetText(stored.LastPort);
}

void TForm1::WriteSettingsFromBoxes()
{
    WriteSettings(Application().SettingsLocation(), edit1_->Text(), edit2_->Text());
}

void TForm1::ApplyWireEncoding()
{
    // The peer's code page, when the settings name one. A name the converter
    // does not know is shown once and then ignored: the bytes stay as the
    // locale has them, and the rest of the start goes on.
    try {
        SharedClipboard().SetWireEncoding(ReadCodePage(Application().SettingsLocation()));
    } catch (...) {
        ReportEscapedError(std::current_exception());
    }
}

void TForm1::ApplyPeerPolicy()
{
    // A passphrase puts every connection inside the encrypted link. A list
    // that does not parse, or a key that cannot be made, is shown once and
    // then lets nobody in or out; the rest of the start goes on.
    try {
        const TPeerPolicy policy = ReadPeerPolicy(Application().SettingsLocation());
        keepTrying_ = policy.Reconnect != "0";
        ApplyMaxPeers(policy.MaxPeers);
        TCustomWinSocket::SetLinkKey(std::nullopt);
        if (!policy.Passphrase.empty()) {
            try {
                TCustomWinSocket::SetLinkKey(DeriveLinkKey(policy.Passphrase));
            } catch (const std::exception& e) {
                // No link can be made safe: none is made at all.
                TCustomWinSocket::SetPeerFilter(AddressFilter::Nobody());
                throw Exception(std::string(e.what()) + ": no peer is allowed");
            }
        }
        if (const std::optional<AddressFilter> filter = AddressFilter::Parse(policy.Allow)) {
            TCustomWinSocket::SetPeerFilter(*filter);
        } else {
            TCustomWinSocket::SetPeerFilter(AddressFilter::Nobody());
            throw Exception("ALLOW=" + policy.Allow +
                            " is not a list of IPv4 addresses and ranges (such as 192.168.1.0/24,10.0.0.7): "
                            "no peer is allowed");
        }
    } catch (...) {
        ReportEscapedError(std::current_exception());
    }
}

void TForm1::ApplyMaxPeers(const std::string& value)
{
    // A value that does not parse serves one peer, as a missing one does.
    serverSocket1_.SetPeerLimit(1);
    if (value.empty()) return;
    std::int32_t count = 0;
    if (TryStrToInt(value, count) && count >= 1 && count <= MaxPeersLimit) {
        serverSocket1_.SetPeerLimit(count);
        return;
    }
    ReportEscapedError(std::make_exception_ptr(Exception(
        "MAXPEERS=" + value + " is not a number of peers from 1 to " + IntToStr(MaxPeersLimit) + ": one peer is served")));
}

void TForm1::ApplyCommandLine()
{
    TCommandLineActions actions;
    actions.SetAddress = [this](const std::string& text) { edit1_->SetText(text); };
    actions.SetPort = [this](const std::string& text) { edit2_->SetText(text); };
    // Clicking from code runs the handler whether or not the button is
    // enabled, and its error ends the scan.
    actions.ClickServer = [this] { Button3Click(); };
    actions.ClickClient = [this] { Button1Click(); };
    actions.StartMinimised = [this] { timer3_.SetEnabled(true); };
    ::ApplyCommandLine(Application().Arguments(), actions);
}

void TForm1::Timer2Timer()
{
    timer2_.SetEnabled(false);
    SetPanelText(ReceivePanel, "");
    SetPanelText(SendPanel, "");
}
