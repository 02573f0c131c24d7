// TForm1: the main window, the program's whole user interface. It owns its
// controls, the three timers and the transfer fields; the handlers of the
// connection modes, the clipboard watcher, the receiver, the settings, the
// command line and the notification icon are its members too and reach the
// controls through the accessors below. Made by TApplication::MakeMainWindow
// on the loop's thread; everything here runs on that thread.
#pragma once

#include "app/Form.h"
#include "base/Timer.h"
#include "net/ReconnectPolicy.h"
#include "net/ScktComp.h"
#include "transfer/ClipboardWatcher.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>

class LinkWatcher;
class QGroupBox;
class QSystemTrayIcon;
class QLabel;
class QPushButton;
class TEdit;
class TLabel;
class TStatusBar;

class TForm1 : public TForm {
public:
    // Panels of StatusBar1.
    static constexpr int PeerCountPanel = 0;
    static constexpr int ReceivePanel = 1;
    static constexpr int SendPanel = 2;
    static constexpr int MessagePanel = 3;

    explicit TForm1(TApplication& application);
    ~TForm1() override;

    QGroupBox* GroupBox1() const { return groupBox1_; }
    QGroupBox* GroupBox2() const { return groupBox2_; }
    QPushButton* Button1() const { return button1_; }
    QPushButton* Button2() const { return button2_; }
    QPushButton* Button3() const { return button3_; }
    QPushButton* Button4() const { return button4_; }
    QPushButton* Button5() const { return button5_; }
    QPushButton* Button6() const { return button6_; }
    TEdit* Edit1() const { return edit1_; }
    TEdit* Edit2() const { return edit2_; }
    TLabel* Label1() const { return label1_; }
    TLabel* Label2() const { return label2_; }
    TLabel* Label3() const { return label3_; }
    TLabel* Label4() const { return label4_; }
    TLabel* Label5() const { return label5_; }
    QLabel* Image1() const { return image1_; }
    TStatusBar* StatusBar1() const { return statusBar1_; }
    TServerSocket& ServerSocket1() { return serverSocket1_; }
    TClientSocket& ClientSocket1() { return clientSocket1_; }
    TTimer& Timer1() { return timer1_; }
    TTimer& Timer2() { return timer2_; }
    TTimer& Timer3() { return timer3_; }

    // Status bar panel k (0 to 3); another k raises the list index error.
    void SetPanelText(int k, std::string_view text);
    std::string PanelText(int k) const;

    // The activity indicators: "R" in panel 1 or "W" in panel 2, and Timer2
    // counting. An enabled Timer2 is not restarted, so the panels clear 250 ms
    // after the first activity since the last clear.
    void ShowReceiveActivity();
    void ShowSendActivity();

    void FormCreate() override;
    void FormClose() override;
    void FormDestroy() override;
    // The connection modes.
    void Button1Click(); // "Connect"
    void Button2Click(); // "Disconnect"
    void Button3Click(); // "ONLINE"
    void Button4Click(); // "OFFLINE"
    void Button5Click(); // "hide"
    void Button6Click(); // "Exit"
    void ServerSocket1Listen(TObject* Sender, TCustomWinSocket* Socket);
    void ServerSocket1ClientConnect(TObject* Sender, TCustomWinSocket* Socket);
    void ServerSocket1ClientDisconnect(TObject* Sender, TCustomWinSocket* Socket);
    void ServerSocket1ClientError(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);
    void ServerSocket1ClientWrite(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocket1Connect(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocket1Disconnect(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocket1Error(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);
    void ClientSocket1Write(TObject* Sender, TCustomWinSocket* Socket);
    // A peer turned away by either component before any connection event.
    void SocketRefused(const std::string& PeerAddress, TRefusal Why);

    // The machine woke from suspend: the connection is made afresh at once.
    void CheckLinkNow();
    // The network came back: a waiting attempt starts at once.
    void NetworkReachable();

    // The clipboard watcher and sender, on every tick of Timer1, and as soon
    // as it may after the clipboard reports a change.
    void Timer1Timer();
    void ClipboardChanged();
    // The receiver: both read events feed the one incoming transfer.
    void ServerSocket1ClientRead(TObject* Sender, TCustomWinSocket* Socket);
    void ClientSocket1Read(TObject* Sender, TCustomWinSocket* Socket);

    void Timer2Timer();
    void Timer3Timer();

    // The notification-area icon: added at the start of FormCreate, removed
    // in FormDestroy. Only a left-button press (Trigger) restores.
    QSystemTrayIcon* TrayIcon() const { return trayIcon_.get(); }
    void TrayNotify(int reason); // a QSystemTrayIcon::ActivationReason
    // Whether a notification area can show the icon, asked by "hide"; the
    // desktop's answer unless a test stands in for it.
    void SetTrayAvailability(std::function<bool()> check) { trayAvailable_ = std::move(check); }

    // The settings steps: the boxes from the file, the file from the boxes.
    void ReadSettingsIntoBoxes();
    void WriteSettingsFromBoxes();

    // The connection mode and the transfer state. The incoming transfer's
    // counts live in the receiver and read through the accessors.
    std::int32_t Mode = 0;  // 0 idle, 1 server, 2 client
    // The last whole text sent or received; the watcher owns it.
    const std::string& LastText() const { return watcher_.LastText(); }
    std::int32_t ExpectedSize() const { return receiver_.ExpectedSize(); }
    std::int32_t ReceivedSize() const { return receiver_.ReceivedSize(); }
    std::int32_t Receiving() const { return receiver_.Receiving() ? 1 : 0; }
    const TransferReceiver& Receiver() const { return receiver_; }

private:
    void AddTrayIcon();
    void ApplyWireEncoding();
    void ApplyPeerPolicy();
    void ApplyMaxPeers(const std::string& value);
    void BindSockets();
    void ServerOffline();
    // The address and port boxes, "Connect" and "ONLINE" are offered while
    // no client connection is under way (`idle`), "Disconnect" only while one is.
    void ShowClientIdle(bool idle);
    // The trying's timers and events; then, unless RECONNECT=0, the watch
    // for resume and for the network coming back.
    void BindTrying();
    void WatchLink();
    // Trying: the first attempt, the next ones, and what ends each.
    void StartTrying();
    void StopTrying();
    void Attempt();
    void AttemptFailed();
    void ConnectionDropped();
    void AttemptTimedOut();
    void ClientSocket1Connecting(TObject* Sender, TCustomWinSocket* Socket);
    // Whether the client's connection takes texts: it stands, and the
    // server has had ClientHoldMs to send what it owes first.
    bool ClientLinkReady() const;
    // Our text, when a connection ended before it arrived, goes again on
    // the next one: the client's once it may send, the server's at once.
    void ResendToServer();
    void NoteLinkLost(TCustomWinSocket* connection);
    void ResendUndelivered(TCustomWinSocket* connection);
    void ReceiveFrom(TCustomWinSocket* socket);
    void DropTransferFrom(const TCustomWinSocket* socket);
    // `source`: the connection the events' bytes came from.
    void ShowTransferEvents(TransferEvents events, const TCustomWinSocket* source);
    // A text from one served peer goes on to every other.
    void RelayFrom(const TCustomWinSocket* source);
    bool RelayIncoming() const;
    void WatchClipboard();
    void LookTimerTick();
    void NoteRead();
    void OfferToPeers();
    TransferSender::Connection SenderConnection(TCustomWinSocket* connection);
    void ApplyCommandLine();
    void BuildControls();
    void ArrangeTabOrder();

    QGroupBox* groupBox1_ = nullptr;
    QGroupBox* groupBox2_ = nullptr;
    QPushButton* button1_ = nullptr;
    QPushButton* button2_ = nullptr;
    QPushButton* button3_ = nullptr;
    QPushButton* button4_ = nullptr;
    QPushButton* button5_ = nullptr;
    QPushButton* button6_ = nullptr;
    TEdit* edit1_ = nullptr;
    TEdit* edit2_ = nullptr;
    TLabel* label1_ = nullptr;
    TLabel* label2_ = nullptr;
    TLabel* label3_ = nullptr;
    TLabel* label4_ = nullptr;
    TLabel* label5_ = nullptr;
    QLabel* image1_ = nullptr;
    TStatusBar* statusBar1_ = nullptr;
    TServerSocket serverSocket1_;
    TClientSocket clientSocket1_;
    TransferReceiver receiver_;
    // The connection whose bytes the receiver holds; compared, never used.
    const TCustomWinSocket* receiverSource_ = nullptr;
    // Served peers' own receivers, for a peer that sends while the receiver
    // above holds another's transfer; kept until that peer's connection ends.
    std::map<const TCustomWinSocket*, TransferReceiver> relayReceivers_;
    ClipboardWatcher watcher_;
    // When the last read of the clipboard ended (steady milliseconds), and
    // the one-shot look that a change report asked for.
    std::int64_t lastReadEndMs_ = std::numeric_limits<std::int64_t>::min() / 2;
    TTimer lookTimer_;
    std::int64_t lookDueMs_ = 0;
    TransferSender sender_;
    TTimer timer1_;
    TTimer timer2_;
    TTimer timer3_;
    ReconnectPolicy reconnect_;
    bool keepTrying_ = true;    // RECONNECT is not 0
    TTimer retryTimer_;         // the next attempt
    TTimer attemptTimer_;       // the deadline of the attempt under way
    std::string lookupNote_;    // "<name> Not found." of the last failed lookup
    bool clientLinkUp_ = false;
    std::int64_t clientLinkUpMs_ = 0;
    // The current text is ours and was offered to peers (not one received).
    bool ownTextSent_ = false;
    // A connection ended before it had all of that text: the next gets it.
    bool resendOnLink_ = false;
    std::unique_ptr<LinkWatcher> linkWatcher_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::function<bool()> trayAvailable_;
};
