#include "net/ServerWinSocket.h"

#include "base/SysUtils.h"
#include "net/ServerClientWinSocket.h"
#include "net/SocketCalls.h"

#include <algorithm>
#include <cerrno>

namespace {

// Failures that leave the connection waiting: retrying at once would spin.
bool IsResourceShortage(int code)
{
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

} // namespace

TServerWinSocket::TServerWinSocket(int handle, EventLoop* loop) : TCustomWinSocket(handle, loop)
{
    SetNotifyStyles(ListenerNotifyStyles);
}

void TServerWinSocket::StartListen(const std::string& host, const std::string& address, const std::string& service,
                                   std::uint16_t port, int queueLength)
{
    TCustomWinSocket::StartListen(host, address, service, port, queueLength, serverType_ == stThreadBlocking);
}

TServerClientWinSocket* TServerWinSocket::Connection(int index) const
{
    if (index < 0 || index >= ConnectionCount()) throw ListIndexError(index);
    return connections_[static_cast<std::size_t>(index)];
}

void TServerWinSocket::SetServerType(TServerType value)
{
    if (value == serverType_) return;
    if (IsConnected()) throw ESocketError("ソケットを使用中は値を変更できません");
    serverType_ = value;
    SetNotifyStyles(value == stNonBlocking ? ListenerNotifyStyles : TNotifyStyles{0});
}

void TServerWinSocket::AddConnection(TServerClientWinSocket* socket)
{
    std::lock_guard lock(listLock_);
    if (std::find(joining_.begin(), joining_.end(), socket) == joining_.end() && !IsServed(socket))
        joining_.push_back(socket);
}

void TServerWinSocket::RemoveConnection(TServerClientWinSocket* socket)
{
    std::lock_guard lock(listLock_);
    connections_.erase(std::remove(connections_.begin(), connections_.end(), socket), connections_.end());
    joining_.erase(std::remove(joining_.begin(), joining_.end(), socket), joining_.end());
}

void TServerWinSocket::Teardown(int handle)
{
    StateGuard guard(*this);
    // Each destroyed connection leaves its list itself, events detached.
    while (!joining_.empty()) joining_.back()->Destroy();
    while (!connections_.empty()) connections_.back()->Destroy();
    TCustomWinSocket::Teardown(handle);
}

bool TServerWinSocket::IsServed(const TCustomWinSocket* socket) const
{
    return std::find(connections_.begin(), connections_.end(), socket) != connections_.end();
}

// Connections still in the list but closed do not hold a place.
int TServerWinSocket::ServedCount() const
{
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const TServerClientWinSocket* c) { return c->IsConnected(); }));
}

TServerClientWinSocket* TServerWinSocket::ServedAt(std::uint32_t address) const
{
    const auto it = std::find_if(connections_.begin(), connections_.end(), [address](TServerClientWinSocket* c) {
        return c->IsConnected() && c->AcceptedAddress() == address;
    });
    return it == connections_.end() ? nullptr : *it;
}

void TServerWinSocket::BoundJoining()
{
    std::vector<TServerClientWinSocket*> open;
    for (TServerClientWinSocket* c : joining_)
        if (c->IsConnected()) open.push_back(c);
    if (static_cast<int>(open.size()) >= MaxLinkHandshakes) open.front()->Destroy();
}

bool TServerWinSocket::Serve(TCustomWinSocket* socket)
{
    const auto it = std::find(joining_.begin(), joining_.end(), socket);
    if (it == joining_.end()) return IsServed(socket);
    auto* client = *it;
    if (peerLimit_ > 0 && ServedCount() >= peerLimit_) {
        TServerClientWinSocket* returning = ServedAt(client->AcceptedAddress());
        if (returning == nullptr) return false;
        const std::weak_ptr<void> life = client->Life();
        returning->CloseConnection();
        // The old connection's disconnect handler may have ended this one.
        if (life.expired() || !client->IsConnected()) return false;
    }
    std::lock_guard lock(listLock_);
    joining_.erase(std::find(joining_.begin(), joining_.end(), client));
    connections_.push_back(client);
    return true;
}

TServerClientWinSocket* TServerWinSocket::GetClientSocket(int handle)
{
    return new TServerClientWinSocket(handle, this);
}

void TServerWinSocket::AcceptReady(int handle)
{
    sockaddr_in peer{};
    const int fd = SocketCalls::Accept(handle, peer);
    const int acceptError = errno;
    Target().AcceptConsumed(fd < 0 && IsResourceShortage(acceptError));
    if (fd < 0) return;
    if (!PeerFilter().Allows(peer.sin_addr.s_addr)) {
        // Closed before a byte is read or sent.
        SocketCalls::Close(fd);
        FireRefusal(SocketCalls::DottedText(peer.sin_addr.s_addr), rfAddress);
        return;
    }
    if (!Admits(fd, peer.sin_addr.s_addr)) {
        SocketCalls::Close(fd);
        return;
    }
    BoundJoining();
    SocketCalls::ConfigureConnection(fd, KeepAlive());

    TServerClientWinSocket* socket = nullptr;
    try {
        if (TGetSocketEvent handler = OnGetSocket) handler(this, fd, socket);
        if (!socket) socket = GetClientSocket(fd);
    } catch (...) {
        SocketCalls::Close(fd);
        throw;
    }
    const std::weak_ptr<void> life = socket->Life();
    socket->Start(peer);
    // OnClientConnect may have stopped the server and with it this socket.
    if (life.expired()) return;
    FireEvent(socket, skAccept);
}

bool TServerWinSocket::Admits(int fd, std::uint32_t address) const
{
    // A peer that reset the connection while it waited in the listen queue
    // is gone already: nothing would ever be heard of it again.
    sockaddr_in peer{};
    if (SocketCalls::PeerName(fd, peer) != 0) return false;
    return peerLimit_ <= 0 || ServedCount() < peerLimit_ || ServedAt(address) != nullptr;
}

void TServerWinSocket::RouteClientEvent(TCustomWinSocket* socket, TSocketEventKind kind)
{
    switch (kind) {
    case skConnect:
        if (Serve(socket)) {
            ClientConnect(socket);
        } else {
            socket->CloseConnection();
        }
        break;
    case skWrite:
        if (IsServed(socket)) ClientWrite(socket);
        break;
    case skRead:
        if (IsServed(socket)) ClientRead(socket);
        break;
    case skDisconnect: {
        // Read first: the handler may end this listener.
        const bool freeLater = serverType_ == stNonBlocking;
        try {
            if (IsServed(socket)) ClientDisconnect(socket);
        } catch (...) {
            // A failing handler must not leave the closed entry behind forever.
            if (freeLater) socket->FreeLater();
            throw;
        }
        if (freeLater) socket->FreeLater();
        break;
    }
    default: break;
    }
}

void TServerWinSocket::RouteClientError(TCustomWinSocket* socket, TErrorEvent kind, int& code)
{
    if (IsServed(socket)) return ClientError(socket, kind, code);
    // A connection that fails while joining was never the peer: it ends
    // without a word to the owner.
    code = 0;
    socket->CloseConnection();
}

void TServerWinSocket::ClientRead(TCustomWinSocket* socket)
{
    if (TSocketNotifyEvent handler = OnClientRead) handler(this, socket);
}

void TServerWinSocket::ClientWrite(TCustomWinSocket* socket)
{
    if (TSocketNotifyEvent handler = OnClientWrite) handler(this, socket);
}

void TServerWinSocket::ClientConnect(TCustomWinSocket* socket)
{
    if (TSocketNotifyEvent handler = OnClientConnect) handler(this, socket);
}

void TServerWinSocket::ClientDisconnect(TCustomWinSocket* socket)
{
    if (TSocketNotifyEvent handler = OnClientDisconnect) handler(this, socket);
}

void TServerWinSocket::ClientError(TCustomWinSocket* socket, TErrorEvent kind, int& code)
{
    if (TSocketErrorEvent handler = OnClientError) handler(this, socket, kind, code);
}
