// TServerSocket: the listening server component. It owns its Listener (a
// TServerWinSocket) and through it the accepted connections. Setting
// Active := true binds every local IPv4 address at the low 16 bits of Port
// and listens (OnListen runs inside the setter); Active := false closes every
// connection without events and stops listening.
//
// The per-connection events are stored in the Listener and raised with the
// Listener as Sender; the members below refer to them, so
// `server.OnClientRead = ...` sets the Listener's slot. Handlers may set
// Active or use connections again; the component must not be destroyed from
// inside its own handlers. Loop thread only.
#pragma once

#include "net/CustomSocket.h"
#include "net/ServerClientWinSocket.h"
#include "net/ServerWinSocket.h"

class EventLoop;

class TServerSocket : public TCustomSocket {
private:
    TServerWinSocket* listener_; // first: the references below point into it

public:
    // `loop`: where notifications come from; null means MainLoop().
    explicit TServerSocket(TObject* owner = nullptr, EventLoop* loop = nullptr);
    ~TServerSocket() override;

    TServerWinSocket* Listener() const { return listener_; }
    int ConnectionCount() const { return listener_->ConnectionCount(); }
    TServerClientWinSocket* Connection(int index) const { return listener_->Connection(index); }

    TServerType ServerType() const { return listener_->ServerType(); }
    void SetServerType(TServerType value) { listener_->SetServerType(value); }
    int ThreadCacheSize() const { return listener_->ThreadCacheSize(); }
    void SetThreadCacheSize(int value) { listener_->SetThreadCacheSize(value); }
    int PeerLimit() const { return listener_->PeerLimit(); }
    void SetPeerLimit(int value) { listener_->SetPeerLimit(value); }

    using TCustomSocket::OnListen;
    using TCustomSocket::OnAccept;
    TGetSocketEvent& OnGetSocket;
    TSocketNotifyEvent& OnClientConnect;
    TSocketNotifyEvent& OnClientDisconnect;
    TSocketNotifyEvent& OnClientRead;
    TSocketNotifyEvent& OnClientWrite;
    TSocketErrorEvent& OnClientError;

protected:
    void ApplyActive(bool value) override;
};
