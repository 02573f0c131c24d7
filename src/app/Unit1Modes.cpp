// TForm1's connection modes: the four buttons that start and stop the server
// and the client, and what the window shows on each socket event other than
// data arriving.
#include "app/Unit1.h"

#include "app/Edit.h"
#include "app/Label.h"
#include "base/SysUtils.h"
#include "store/Settings.h"

#include <QPushButton>

#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>

void TForm1::BindSockets()
{
    // The components' initial values, loaded: each Active applies last.
    serverSocket1_.BeginLoad();
    serverSocket1_.SetServerType(stNonBlocking);
    serverSocket1_.SetPort(0);
    serverSocket1_.SetActive(false);
    serverSocket1_.AfterLoad();
    // The server serves one peer: any further connection is closed at accept.
    serverSocket1_.SetPeerLimit(1);

    clientSocket1_.BeginLoad();
    clientSocket1_.SetClientType(ctNonBlocking);
    clientSocket1_.SetAddress(std::string(DefaultPeerAddress));
    clientSocket1_.SetPort(DefaultPeerPort);
    clientSocket1_.SetActive(false);
    clientSocket1_.AfterLoad();

    serverSocket1_.OnListen = [this](TObject* s, TCustomWinSocket* c) { ServerSocket1Listen(s, c); };
    serverSocket1_.OnClientConnect = [this](TObject* s, TCustomWinSocket* c) { ServerSocket1ClientConnect(s, c); };
    serverSocket1_.OnClientDisconnect = [this](TObject* s, TCustomWinSocket* c) { ServerSocket1ClientDisconnect(s, c); };
    serverSocket1_.OnClientRead = [this](TObject* s, TCustomWinSocket* c) { ServerSocket1ClientRead(s, c); };
    serverSocket1_.OnClientWrite = [this](TObject* s, TCustomWinSocket* c) { ServerSocket1ClientWrite(s, c); };
    serverSocket1_.OnClientError = [this](TObject* s, TCustomWinSocket* c, TErrorEvent e, int& code) {
        ServerSocket1ClientError(s, c, e, code);
    };
    clientSocket1_.OnConnect = [this](TObject* s, TCustomWinSocket* c) { ClientSocket1Connect(s, c); };
    clientSocket1_.OnDisconnect = [this](TObject* s, TCustomWinSocket* c) { ClientSocket1Disconnect(s, c); };
    clientSocket1_.OnRead = [this](TObject* s, TCustomWinSocket* c) { ClientSocket1Read(s, c); };
    clientSocket1_.OnWrite = [this](TObject* s, TCustomWinSocket* c) { ClientSocket1Write(s, c); };
    clientSocket1_.OnError = [this](TObject* s, TCustomWinSocket* c, TErrorEvent e, int& code) {
        ClientSocket1Error(s, c, e, code);
    };
    const TSocketRefusalSink refused = [this](TCustomWinSocket*, const std::string& address, TRefusal why) {
        SocketRefused(address, why);
    };
    serverSocket1_.Listener()->RefusalSink = refused;
    clientSocket1_.ClientConnection()->RefusalSink = refused;
    BindTrying();
}

void TForm1::ServerOffline()
{
    // Stopping the server ends its connections without events; a transfer
    // one of them was feeding ends with it.
    serverSocket1_.SetActive(false);
    relayReceivers_.clear();
    if (receiverSource_ != clientSocket1_.ClientConnection()) DropTransferFrom(receiverSource_);
}

void TForm1::ShowClientIdle(bool idle)
{
    // The order decides where the focus goes from a focused control that is
    // disabled: Qt hands it to the next control in tab order enabled by then.
    edit2_->setEnabled(idle);
    edit1_->setEnabled(idle);
    button1_->setEnabled(idle);
    button2_->setEnabled(!idle);
    button3_->setEnabled(idle);
}

void TForm1::Button1Click()
{
    StopTrying();
    // Only a connection that failed under way (a reset: "Can't Connect" gave
    // the button back) is still active here. Left open, it would make this
    // press refuse a new address or port, or else do nothing at all.
    if (clientSocket1_.Active()) clientSocket1_.SetActive(false);
    Mode = 2;
    ShowClientIdle(false);
    ServerOffline();
    if (const std::string& peer = edit1_->Text(); !peer.empty()) {
        // Text that is not an IPv4 address is a host name, looked up on
        // each attempt.
        const bool address = ::inet_addr(peer.c_str()) != INADDR_NONE || peer == "255.255.255.255";
        clientSocket1_.SetHost(address ? std::string() : peer);
        if (address) clientSocket1_.SetAddress(peer);
    }
    SetPanelText(MessagePanel, "sending heartbeat...");
    clientSocket1_.SetPort(StrToInt(edit2_->Text()));
    StartTrying();
}

void TForm1::Button2Click()
{
    StopTrying();
    Mode = 0;
    ShowClientIdle(true);
    clientSocket1_.SetActive(false);
    SetPanelText(MessagePanel, "disconnect");
}

void TForm1::Button3Click()
{
    StopTrying();
    // First: closing a client connection that is still active (one that
    // failed under way) runs the disconnect handler, which sets idle mode.
    clientSocket1_.SetActive(false);
    Mode = 1;
    button1_->setEnabled(false);
    button3_->setEnabled(false);
    button4_->setEnabled(true);
    edit2_->setEnabled(false);
    serverSocket1_.SetPort(StrToInt(edit2_->Text()));
    serverSocket1_.SetActive(true);
}

void TForm1::Button4Click()
{
    Mode = 0;
    button1_->setEnabled(true);
    button3_->setEnabled(true);
    button4_->setEnabled(false);
    ServerOffline();
    edit2_->setEnabled(true);
    SetPanelText(MessagePanel, " shutdown. ");
}

void TForm1::ServerSocket1Listen(TObject*, TCustomWinSocket* Socket)
{
    // The port listened on, which the typed number names only modulo 65536
    // (0 lets the system choose).
    SetPanelText(MessagePanel, " Port " + IntToStr(ntohs(Socket->Endpoint().sin_port)) + " Listen now.");
}

void TForm1::ServerSocket1ClientConnect(TObject*, TCustomWinSocket* Socket)
{
    SetPanelText(MessagePanel, Socket->PeerAddress() + " Connected.");
    ResendUndelivered(Socket);
}

void TForm1::ServerSocket1ClientDisconnect(TObject*, TCustomWinSocket* Socket)
{
    DropTransferFrom(Socket);
    NoteLinkLost(Socket);
    SetPanelText(MessagePanel, Socket->PeerAddress() + " Disconnect.");
}

void TForm1::ServerSocket1ClientError(TObject*, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    ErrorCode = 0;
    ShowClientIdle(true);
    SetPanelText(MessagePanel, "Client Error.");
    // A reset peer's connection stays counted although it is dead. Left in
    // place it would hold the one place this server serves, and every later
    // peer would be closed as a second one.
    if (ErrorEvent == ekDisconnect) Socket->CloseConnection();
}

void TForm1::ServerSocket1ClientWrite(TObject*, TCustomWinSocket*)
{
    SetPanelText(SendPanel, "W");
    // All that waited has left: a newer text may start.
    sender_.Pump();
}

void TForm1::ClientSocket1Connect(TObject*, TCustomWinSocket*)
{
    attemptTimer_.SetEnabled(false);
    retryTimer_.SetEnabled(false);
    clientLinkUp_ = true;
    clientLinkUpMs_ = SteadyClockMs();
    reconnect_.Connected(clientLinkUpMs_);
    lookupNote_.clear();
    SetPanelText(MessagePanel, "Connect");
}

// While trying, an end is a failed attempt or a lost connection, and the
// window stays as "Connect" left it; otherwise the client goes idle.
void TForm1::ClientSocket1Disconnect(TObject*, TCustomWinSocket* Socket)
{
    DropTransferFrom(Socket);
    if (std::exchange(clientLinkUp_, false)) NoteLinkLost(Socket);
    switch (reconnect_.Current()) {
    case ReconnectPolicy::State::Connected: return ConnectionDropped();
    case ReconnectPolicy::State::Attempting: return AttemptFailed();
    case ReconnectPolicy::State::Waiting: return;
    case ReconnectPolicy::State::Idle: break;
    }
    ShowClientIdle(true);
    Mode = 0;
    SetPanelText(MessagePanel, lookupNote_.empty() ? std::string("Disconnect") : std::exchange(lookupNote_, {}));
}

void TForm1::ClientSocket1Error(TObject*, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)
{
    ErrorCode = 0;
    if (ErrorEvent == ekLookup) lookupNote_ = clientSocket1_.Host() + " Not found.";
    if (reconnect_.Current() != ReconnectPolicy::State::Idle) {
        switch (ErrorEvent) {
        case ekLookup:
            SetPanelText(MessagePanel, lookupNote_);
            return AttemptFailed();
        case ekConnect:
            if (reconnect_.Current() == ReconnectPolicy::State::Attempting)
                SetPanelText(MessagePanel, "sending heartbeat...");
            return AttemptFailed();
        case ekDisconnect:
            // A reset, or keepalive gave the peer up: the connection is over
            // (the disconnect handler starts trying again).
            return Socket->CloseConnection();
        default:
            // A failed send or receive: the teardown follows by itself.
            return;
        }
    }
    // Only errors of an established connection show; a failed attempt leaves
    // the window as "Connect" left it.
    if (!clientSocket1_.Active()) return;
    ShowClientIdle(true);
    SetPanelText(MessagePanel, "Can't Connect");
}

void TForm1::SocketRefused(const std::string& PeerAddress, TRefusal Why)
{
    // The allowed addresses and the key stay as they are while the program
    // runs: a client turned away stops trying.
    if (Mode == 2 && reconnect_.Current() != ReconnectPolicy::State::Idle) {
        StopTrying();
        Mode = 0;
        ShowClientIdle(true);
    }
    SetPanelText(MessagePanel, PeerAddress + (Why == rfAddress ? " Refused." : " Key mismatch."));
}

void TForm1::ClientSocket1Write(TObject*, TCustomWinSocket*)
{
    SetPanelText(SendPanel, "W");
    sender_.Pump();
}
