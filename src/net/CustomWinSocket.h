// TCustomWinSocket: one TCP/IPv4 socket and the events it produces.
//
// The object wraps a non-blocking socket, resolves and connects or listens,
// sends and receives, and reports what happens to its owner through two
// callbacks, EventSink and ErrorSink. Notifications reach it from the event
// loop through its NotifyTarget (HandleNotification, the deferred free); its
// Resolution works out the endpoint and answers through HandleLookupAnswer.
// Errors are offered to ErrorSink with the code by reference; a handler that
// clears the code suppresses the exception that would follow.
//
// Ownership: the component that makes an object owns it and ends it with
// Destroy(), never delete. An object destroyed while one of its own
// operations is running (a handler that stops the server, say) is taken
// apart at once but freed only when that operation returns, so no handler
// can pull an object out from under the code that called it.
//
// Sending never loses bytes: what the socket does not take at once is queued
// and sent, in order, as the socket drains; past the queue limit the
// connection fails with ENOBUFS like any failed send.
//
// With a link key set, every data connection runs inside the encrypted link
// (TlsEngine): skConnect comes only once the handshake is complete, bytes
// written before then wait for it, read events and counts are of plaintext,
// and a failed handshake closes the connection (skDisconnect) and is told
// to RefusalSink. Nothing is ever sent or taken in plain. The ciphertext
// waits in the same queue as plain bytes do, under the same limit; a read
// event's bytes end where one of the peer's writes ended whenever the
// records say so (ReadEndsAtPeerWrite).
//
// All calls on the event loop's thread. The class is the base of the client
// connection, the listening object and the accepted connections.
#pragma once

#include "net/AddressFilter.h"
#include "net/NotifyTarget.h"
#include "net/Resolution.h"
#include "net/SendQueue.h"
#include "net/SocketTypes.h"
#include "net/TlsEngine.h"

#include <netinet/in.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/Object.h"

class EventLoop;

class TCustomWinSocket : public TObject, private NotifySink {
public:
    // `handle`: InvalidSocket, or an accepted socket this object then owns.
    // `loop`: where notifications come from; null means MainLoop().
    explicit TCustomWinSocket(int handle, EventLoop* loop = nullptr);

    // Ends the object: the owner's callbacks are detached first, so a
    // connected socket is closed without any event reaching the owner.
    void Destroy();

    int Sock() const { return sock_; }
    bool IsConnected() const { return isConnected_; }
    const sockaddr_in& Endpoint() const { return endpoint_; }
    TNotifyStyles NotifyStyles() const { return notifyStyles_; }
    TResolveStage ResolveStage() const { return resolution_.Stage(); }

    TSocketEventSink EventSink;
    TSocketErrorSink ErrorSink;
    // Peers turned away by the address filter or a failed key handshake.
    TSocketRefusalSink RefusalSink;

    // Makes a socket and starts connecting: resolution first (a host name or
    // service is looked up without blocking the loop), then the connect; the
    // outcome arrives as skConnect or an ekConnect error.
    void StartConnect(const std::string& host, const std::string& address, const std::string& service,
                      std::uint16_t port, bool blocking);
    // Makes a socket and listens on every local IPv4 address.
    void StartListen(const std::string& host, const std::string& address, const std::string& service,
                             std::uint16_t port, int queueLength, bool blocking);
    // Closes the connection, with skDisconnect first; nothing when closed.
    void CloseConnection();
    // Cancels a pending lookup; then, when `handle` is this object's socket,
    // fires skDisconnect and closes it.
    virtual void Teardown(int handle);

    // Returns `count` when the bytes were sent or queued, 0 when not
    // connected, -1 after a failure (reported to ErrorSink, then torn down).
    int SendBytes(const void* buffer, int count);
    int SendString(std::string_view text);
    // Bytes received, 0 when the peer has closed or the object is not
    // connected, -1 when nothing is there or after a failure. With no buffer
    // and count -1: the number of bytes readable now.
    int ReceiveBytes(void* buffer, int count);
    int AvailableBytes();
    // Every byte readable now, unchanged; empty when there is none.
    std::string ReadAllText();
    // The peer's dotted IPv4 address; empty when not connected.
    std::string PeerAddress();

    void SetNotifyStyles(TNotifyStyles styles);
    // Has the event loop destroy this object on a later pass.
    void FreeLater();

    // Expires when the object is destroyed (even while its memory is still
    // held for a running operation): lets callers notice a handler ended it.
    std::weak_ptr<void> Life() const { return life_; }
    // Where notifications come from (MainLoop() unless one was given).
    EventLoop& Loop();

    // Bytes accepted by SendBytes that the socket has not taken yet (on the
    // encrypted link: their records, and what waits for the handshake).
    std::size_t QueuedBytes() const { return sendQueue_.Bytes() + (tls_ ? tls_->KeptBytes() : 0); }
    // Inside the encrypted link.
    bool Encrypted() const { return tls_ != nullptr; }
    // The bytes the last receive took are all a read event had and end
    // where a write of the peer's ended. Only the encrypted link's records
    // tell; on a plain connection it is always false.
    bool ReadEndsAtPeerWrite() const { return readEndsWrite_; }
    // Bytes accepted by SendBytes that the peer has not acknowledged: the
    // queued ones and those the system holds. Still true after a reset or a
    // time-out, until the socket is closed (in a disconnect handler, say).
    std::size_t UnacknowledgedBytes() const;

    // Process-wide tuning, read when a connection is set up or a send queued.
    static void SetKeepAlive(const KeepAliveTimes& times);
    static KeepAliveTimes KeepAlive();
    static void SetSendQueueLimit(std::size_t bytes);
    static std::size_t SendQueueLimit();
    // The peers connections may be made with, either way.
    static void SetPeerFilter(const AddressFilter& filter);
    static const AddressFilter& PeerFilter();
    // The encrypted link's key; none means plain connections.
    static void SetLinkKey(const std::optional<LinkKey>& key);
    static const std::optional<LinkKey>& LinkKeyInUse();

    // Entry points the event loop reaches through the NotifyTarget.
    void HandleNotification(int handle, TNotifyStyles flag, int errorCode) override;

protected:
    ~TCustomWinSocket() override;

    // Holds StateLock and keeps the object in memory until the outermost
    // operation on it returns.
    class StateGuard {
    public:
        explicit StateGuard(TCustomWinSocket& socket);
        ~StateGuard();
        StateGuard(const StateGuard&) = delete;
        StateGuard& operator=(const StateGuard&) = delete;

    private:
        TCustomWinSocket& socket_;
    };

    virtual void AcceptReady(int handle);
    virtual void ConnectDone(int handle);
    virtual void ReadReady(int handle);
    virtual void WriteReady(int handle);
    virtual void FireEvent(TCustomWinSocket* socket, TSocketEventKind kind);
    virtual void FireError(TCustomWinSocket* socket, TErrorEvent kind, int& code);
    void FireRefusal(const std::string& peerAddress, TRefusal why);
    // The observable part of destruction; overrides call the base last.
    virtual void Dispose();

    // Passes a system call's result: 0 (or "not yet") is fine, anything else
    // raises the socket error format with errno and `operation`.
    void CheckResult(int result, const char* operation);
    // Goes on resolving the endpoint; opens or listens once it is complete.
    void Resolve();
    void OpenStep();
    void ListenStep(int queueLength);
    void ApplyNotifyStyles();
    NotifyTarget& Target();
    bool Disposed() const { return disposed_; }
    // Whether `handle` is this object's open socket. A notification may
    // carry one closed since, and an event handler may close or replace the
    // socket: asked after every handler that the code goes on from.
    bool OnSocket(int handle) const { return handle != InvalidSocket && handle == sock_; }
    // The connection is established: IsConnected, and the peer noted.
    void MarkConnected();
    // The peer's address as accept gave it, for a peer already gone.
    void NotePeer(const sockaddr_in& peer);
    // With a link key, starts the handshake on the connected socket and
    // returns true: skConnect follows when it completes. False without a key.
    bool BeginLink(bool asServer);

private:
    void HandleFreeLater() override;
    void BeginSocket(const char* alreadyOpenMessage);
    // A lookup's answer, on the loop: resolution goes on or fails.
    void HandleLookupAnswer(const LookupResult& answer);
    // A failed lookup: error event, teardown, then the exception.
    void FailLookup(int code);
    // Sends what is queued; false while some of it is still waiting.
    bool FlushQueue();
    // A failed send or receive: error event, teardown, then the exception.
    int FailTransfer(TErrorEvent kind, int code, const char* operation);
    void CloseSocketQuietly();
    // The encrypted link's side of the notifications and transfers.
    void StepLink();
    void LinkEstablished();
    void FailLink();
    void EndLink();
    // FD_CLOSE on the encrypted link.
    void CloseLink(int handle);
    // Decrypts the next write of the peer's (as much of it as has come)
    // unless the owner has yet to take the last, and tells the owner of
    // what waits; true when it told of something.
    bool ReadLink(int handle);
    // One receive of ciphertext into the engine: the bytes taken, 0 for
    // none, -1 after a failure (torn down).
    int TakeCiphertext();
    // Decrypts into plain_ up to the end of a write of the peer's, taking
    // ciphertext from the socket as needed.
    TlsEngine::Status DecryptWrite();
    int SendLink(const char* bytes, std::size_t size, int count);
    int ReceiveLink(void* buffer, int count);
    void ScheduleLinkRead();
    void ResetEndpoint();

    int sock_;
    bool isConnected_;
    std::unique_ptr<NotifyTarget> notifyTarget_;
    sockaddr_in endpoint_{};
    TNotifyStyles notifyStyles_ = ClientNotifyStyles;
    Resolution resolution_;
    std::recursive_mutex stateLock_;

    EventLoop* loop_;
    std::string peerAddress_;       // noted when the connection is established
    SendQueue sendQueue_;
    int busy_ = 0;                  // operations of this object on the stack
    bool disposed_ = false;
    std::shared_ptr<char> life_ = std::make_shared<char>();
    bool closing_ = false;          // inside Teardown's disconnect event
    std::unique_ptr<TlsEngine> tls_; // the encrypted link, when there is a key
    std::string plain_;             // decrypted bytes not yet received
    bool plainEndsWrite_ = false;   // plain_ ends where a write of the peer's did
    bool readEndsWrite_ = false;
    TimerId handshakeTimer_ = 0;
    bool linkReadPosted_ = false;
};
