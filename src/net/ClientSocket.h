// TClientSocket: the connecting client component. It holds the parameters of
// one outgoing connection, opens and closes its connection object
// (ClientConnection, owned here) when Active is set, and raises OnConnect,
// OnDisconnect, OnRead, OnWrite and OnError as the connection goes.
//
// Setting Active := true starts an attempt and returns; Active becomes true
// only in OnConnect. A refused attempt gives OnError (ekConnect) and leaves
// Active false. Handlers may set Active or use ClientConnection again; the
// component must not be destroyed from inside its own handlers.
// Loop thread only.
#pragma once

#include "net/ClientWinSocket.h"
#include "net/CustomSocket.h"

class EventLoop;

class TClientSocket : public TCustomSocket {
public:
    // `loop`: where the connection's notifications come from; null means
    // MainLoop().
    explicit TClientSocket(TObject* owner = nullptr, EventLoop* loop = nullptr);
    ~TClientSocket() override;

    // The connection the program sends on; every event passes it as Socket.
    TClientWinSocket* ClientConnection() const { return connection_; }

    TClientType ClientType() const { return connection_->ClientType(); }
    void SetClientType(TClientType value) { connection_->SetClientType(value); }

    using TCustomSocket::OnLookup;
    using TCustomSocket::OnConnecting;
    using TCustomSocket::OnConnect;
    using TCustomSocket::OnDisconnect;
    using TCustomSocket::OnRead;
    using TCustomSocket::OnWrite;
    using TCustomSocket::OnError;

protected:
    // Compares with the connection's state, not with Active: true starts an
    // attempt unless connected, false closes a connected socket at once.
    void ApplyActive(bool value) override;

private:
    TClientWinSocket* connection_;
};
