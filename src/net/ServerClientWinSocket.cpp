#include "net/ServerClientWinSocket.h"

#include "net/ServerWinSocket.h"

TServerClientWinSocket::TServerClientWinSocket(int handle, TServerWinSocket* server)
    : TCustomWinSocket(handle, server ? &server->Loop() : nullptr), server_(server)
{
    if (!server_) return;
    server_->AddConnection(this);
    if (server_->NotifyStyles() != 0) {
        EventSink = [server](TCustomWinSocket*, TCustomWinSocket* socket, TSocketEventKind kind) {
            server->RouteClientEvent(socket, kind);
        };
        ErrorSink = [server](TCustomWinSocket*, TCustomWinSocket* socket, TErrorEvent kind, int& code) {
            server->RouteClientError(socket, kind, code);
        };
        RefusalSink = [server](TCustomWinSocket*, const std::string& peerAddress, TRefusal why) {
            server->FireRefusal(peerAddress, why);
        };
    }
}

void TServerClientWinSocket::Start(const sockaddr_in& peer)
{
    StateGuard guard(*this);
    if (started_) return;
    started_ = true;
    acceptedAddress_ = peer.sin_addr.s_addr;
    // A peer that resets from here on is asked for in vain: keep what accept
    // said, so that the connect and disconnect handlers can still name it.
    NotePeer(peer);
    if (server_ && server_->NotifyStyles() != 0) ApplyNotifyStyles();
    if (IsConnected() && !BeginLink(true)) FireEvent(this, skConnect);
}

void TServerClientWinSocket::Dispose()
{
    if (server_) server_->RemoveConnection(this);
    TCustomWinSocket::Dispose();
}
