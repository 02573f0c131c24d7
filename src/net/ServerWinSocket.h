// TServerWinSocket: the listening object of the server component. It accepts
// peers, owns the accepted connections (TServerClientWinSocket) in accept
// order, and raises the per-connection events OnClientConnect,
// OnClientDisconnect, OnClientRead, OnClientWrite and OnClientError with
// itself as Sender.
//
// A connection is served (in the list, its events raised) from its connect
// event on: at once on a plain link, once its key handshake has finished on
// an encrypted one. Until then it is only joining: not counted, offered
// nothing, and it raises no event at all; up to MaxLinkHandshakes join at
// once, the oldest giving way to a newer one.
//
// With a peer limit, a connection that finds every place taken is closed at
// accept, before a byte of it is read or a byte is sent to it, without any
// event; unless it comes from the address of a served peer: a returning peer
// takes that peer's place once it is served (the old connection ends with
// its disconnect event). A joining connection that finishes after the last
// place was taken by another is closed as surplus, silently.
//
// A connection that ends stays in the list, marked not connected, until its
// deferred free runs on a later pass; stopping the listener destroys every
// connection at once without any event. Owned by TServerSocket;
// loop thread only. There is no thread-per-client mode: stThreadBlocking only
// empties the notification set, and such a listener accepts nothing.
#pragma once

#include "net/CustomWinSocket.h"

#include <mutex>
#include <vector>

class TServerClientWinSocket;

class TServerWinSocket : public TCustomWinSocket {
public:
    explicit TServerWinSocket(int handle, EventLoop* loop = nullptr);

    void StartListen(const std::string& host, const std::string& address, const std::string& service,
                     std::uint16_t port, int queueLength);
    // Destroys every accepted connection, silently, then stops listening.
    void Teardown(int handle) override;

    int ConnectionCount() const { return static_cast<int>(connections_.size()); }
    // Index base 0 in accept order; raises EListError out of range.
    TServerClientWinSocket* Connection(int index) const;

    TServerType ServerType() const { return serverType_; }
    // Raises "ソケットを使用中は値を変更できません" while listening.
    void SetServerType(TServerType value);
    int ThreadCacheSize() const { return threadCacheSize_; }
    void SetThreadCacheSize(int value) { threadCacheSize_ = value; }
    // How many connected peers the listener serves at a time; 0: no limit.
    // Connections still joining do not count.
    int PeerLimit() const { return peerLimit_; }
    void SetPeerLimit(int value) { peerLimit_ = value; }

    TGetSocketEvent OnGetSocket;
    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;

protected:
    ~TServerWinSocket() override = default;
    void AcceptReady(int handle) override;

    // The object for a newly accepted handle.
    virtual TServerClientWinSocket* GetClientSocket(int handle);
    virtual void ClientRead(TCustomWinSocket* socket);
    virtual void ClientWrite(TCustomWinSocket* socket);
    virtual void ClientConnect(TCustomWinSocket* socket);
    virtual void ClientDisconnect(TCustomWinSocket* socket);
    virtual void ClientError(TCustomWinSocket* socket, TErrorEvent kind, int& code);

private:
    friend class TServerClientWinSocket;
    void AddConnection(TServerClientWinSocket* socket);
    void RemoveConnection(TServerClientWinSocket* socket);
    void RouteClientEvent(TCustomWinSocket* socket, TSocketEventKind kind);
    void RouteClientError(TCustomWinSocket* socket, TErrorEvent kind, int& code);
    // Whether a connection just accepted on `fd` from `address` is taken on.
    bool Admits(int fd, std::uint32_t address) const;
    // A joining connection becomes served, taking a returning peer's place
    // if it must; false when there is no place for it.
    bool Serve(TCustomWinSocket* socket);
    bool IsServed(const TCustomWinSocket* socket) const;
    int ServedCount() const;
    // The oldest served peer at `address` still connected, or null.
    TServerClientWinSocket* ServedAt(std::uint32_t address) const;
    // Makes room for one more joining connection.
    void BoundJoining();

    std::vector<TServerClientWinSocket*> connections_; // served, in the order served
    std::vector<TServerClientWinSocket*> joining_;     // accepted, not yet served
    std::mutex listLock_; // guards additions and removals only
    TServerType serverType_ = stNonBlocking;
    int threadCacheSize_ = DefaultThreadCacheSize;
    int peerLimit_ = 0;
};
