// TServerWinSocket: the listening object of the server component. It accepts
// peers, owns the accepted connections (TServerClientWinSocket) in accept
// order, and raises the per-connection events OnClientConnect,
// OnClientDisconnect, OnClientRead, OnClientWrite and OnClientError with
// itself as Sender.
//
// A connection that ends stays in the list, marked not connected, until its
// deferred free runs on a later pass; stopping the listener destroys every
// connection at once without any event. A connection the listener does not
// admit (see Admits) is closed at accept, before a byte of it is read or a
// byte is sent to it, and raises no event at all. Owned by TServerSocket;
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
    // Whether a connection just accepted on `fd` is taken on.
    bool Admits(int fd) const;

    std::vector<TServerClientWinSocket*> connections_;
    std::mutex listLock_; // guards additions and removals only
    TServerType serverType_ = stNonBlocking;
    int threadCacheSize_ = DefaultThreadCacheSize;
    int peerLimit_ = 0;
};
