// NotifyTarget: one connection object's endpoint on the event loop. It turns
// level-triggered descriptor readiness into the one-shot notifications the
// connection objects are written against and delivers deferred frees.
//
// Delivery rules, for the one socket currently selected:
//   FD_CONNECT  once, when an issued connect completes; the code is its outcome.
//   FD_WRITE    once after a connect or for a newly selected open connection,
//               then again only after WriteBlocked(), when the socket can take
//               data.
//   FD_READ     when data is pending; re-armed by ReadConsumed().
//   FD_CLOSE    once: code 0 when the peer closed in order (all data read),
//               else the failure, such as a reset.
//   FD_ACCEPT   when a connection waits; re-armed by AcceptConsumed().
// Each callback delivers at most one notification, so they arrive one at a
// time and in order. A watch whose notification is not armed is disabled:
// nobody spins on a socket that stays ready. A notification or a free is
// never delivered once the target is destroyed.
//
// Owned by a TCustomWinSocket; all calls on the loop's thread.
#pragma once

#include "base/EventLoop.h"
#include "net/SocketTypes.h"

#include <memory>

// What the target calls; exceptions leaving these go to the loop's reporter.
class NotifySink {
public:
    virtual void HandleNotification(int handle, TNotifyStyles flag, int errorCode) = 0;
    virtual void HandleFreeLater() = 0;

protected:
    ~NotifySink() = default;
};

class NotifyTarget {
public:
    NotifyTarget(EventLoop& loop, NotifySink& sink);
    ~NotifyTarget();
    NotifyTarget(const NotifyTarget&) = delete;
    NotifyTarget& operator=(const NotifyTarget&) = delete;

    // Registers `fd` for `styles` and makes it non-blocking; the empty set
    // unregisters it and makes it blocking again. A new descriptor replaces
    // the previous one, whose notifications are then never delivered.
    // `open`: `fd` is an established connection, which gets its first write
    // and its close (a reset included) however early its peer went away.
    void Select(int fd, TNotifyStyles styles, bool open);
    // The socket is about to be closed: stop watching it.
    void Forget();

    // What the owner did, which re-arms the notifications it waits for.
    void ConnectIssued();
    void WriteBlocked();
    void ReadConsumed();
    // `retryLater`: the accept failed for want of resources; wait a little.
    void AcceptConsumed(bool retryLater);

    void PostFree();

private:
    enum class Phase { Idle, Connecting, Open, Listening, Ended };

    void OnReadable();
    void OnWritable();
    void Deliver(TNotifyStyles flag, int errorCode);
    void OpenArmed();
    void UpdateWatches();
    bool Wants(TNotifyStyles flag, bool armed) const { return armed && (styles_ & flag) != 0; }

    EventLoop& loop_;
    NotifySink& sink_;
    std::shared_ptr<bool> alive_;

    int fd_ = InvalidSocket;
    TNotifyStyles styles_ = 0;
    Phase phase_ = Phase::Idle;
    bool connectArmed_ = false;
    bool writeArmed_ = false;
    bool readArmed_ = false;
    bool closeArmed_ = false;
    bool acceptArmed_ = false;
    bool firstWritePending_ = false; // reads wait until the first FD_WRITE is out
    bool readParked_ = false;        // data waits, but nobody has read since FD_READ
    WatchId readWatch_ = 0;
    WatchId writeWatch_ = 0;
    TimerId acceptRetryTimer_ = 0;
};
