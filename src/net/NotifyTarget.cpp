#include "net/NotifyTarget.h"

#include "net/SocketCalls.h"

NotifyTarget::NotifyTarget(EventLoop& loop, NotifySink& sink)
    : loop_(loop), sink_(sink), alive_(std::make_shared<bool>(true))
{
}

NotifyTarget::~NotifyTarget()
{
    *alive_ = false;
    Forget();
}

void NotifyTarget::Select(int fd, TNotifyStyles styles, bool open)
{
    if (styles == 0) {
        Forget();
        if (fd != InvalidSocket) SocketCalls::SetNonBlocking(fd, false);
        return;
    }
    styles_ = styles;
    if (fd != fd_) {
        Forget();
        styles_ = styles;
        fd_ = fd;
        SocketCalls::SetNonBlocking(fd, true);
        auto alive = alive_;
        readWatch_ = loop_.Watch(fd, Readiness::Read, [this, alive] {
            if (*alive) OnReadable();
        });
        writeWatch_ = loop_.Watch(fd, Readiness::Write, [this, alive] {
            if (*alive) OnWritable();
        });
        if (styles & FD_ACCEPT) {
            phase_ = Phase::Listening;
            acceptArmed_ = true;
        } else if (open) {
            OpenArmed();
        }
    }
    UpdateWatches();
}

void NotifyTarget::Forget()
{
    loop_.Unwatch(readWatch_);
    loop_.Unwatch(writeWatch_);
    loop_.StopTimer(acceptRetryTimer_);
    readWatch_ = writeWatch_ = 0;
    acceptRetryTimer_ = 0;
    fd_ = InvalidSocket;
    styles_ = 0;
    phase_ = Phase::Idle;
    connectArmed_ = writeArmed_ = readArmed_ = closeArmed_ = acceptArmed_ = false;
    firstWritePending_ = readParked_ = false;
}

void NotifyTarget::ConnectIssued()
{
    if (fd_ == InvalidSocket) return;
    phase_ = Phase::Connecting;
    connectArmed_ = true;
    UpdateWatches();
}

void NotifyTarget::WriteBlocked()
{
    if (phase_ != Phase::Open && phase_ != Phase::Ended) return;
    writeArmed_ = true;
    UpdateWatches();
}

void NotifyTarget::ReadConsumed()
{
    if (phase_ != Phase::Open) return;
    readArmed_ = true;
    readParked_ = false;
    UpdateWatches();
}

void NotifyTarget::AcceptConsumed(bool retryLater)
{
    if (phase_ != Phase::Listening) return;
    acceptArmed_ = true;
    if (retryLater && acceptRetryTimer_ == 0) {
        auto alive = alive_;
        acceptRetryTimer_ = loop_.StartTimer(AcceptRetryDelayMs, [this, alive] {
            if (!*alive) return;
            loop_.StopTimer(acceptRetryTimer_);
            acceptRetryTimer_ = 0;
            UpdateWatches();
        });
    }
    UpdateWatches();
}

void NotifyTarget::OpenArmed()
{
    phase_ = Phase::Open;
    writeArmed_ = true;
    readArmed_ = true;
    closeArmed_ = true;
    firstWritePending_ = (styles_ & FD_WRITE) != 0;
    readParked_ = false;
}

void NotifyTarget::OnWritable()
{
    if (phase_ == Phase::Connecting) {
        const int code = SocketCalls::TakePendingError(fd_);
        connectArmed_ = false;
        if (code == 0) {
            OpenArmed();
        } else {
            // A failed attempt's socket stays quiet until it is replaced.
            phase_ = Phase::Ended;
        }
        UpdateWatches();
        if (styles_ & FD_CONNECT) Deliver(FD_CONNECT, code);
        return;
    }
    // An ended connection still gets a write it was promised: bytes queued
    // for it must meet the failure that ends it, not wait for good.
    if ((phase_ == Phase::Open || phase_ == Phase::Ended) && writeArmed_) {
        writeArmed_ = false;
        firstWritePending_ = false;
        UpdateWatches();
        Deliver(FD_WRITE, 0);
        return;
    }
    UpdateWatches();
}

void NotifyTarget::OnReadable()
{
    if (phase_ == Phase::Listening && acceptArmed_) {
        acceptArmed_ = false;
        UpdateWatches();
        Deliver(FD_ACCEPT, 0);
        return;
    }
    if (phase_ != Phase::Open) {
        UpdateWatches();
        return;
    }
    int code = 0;
    switch (SocketCalls::Peek(fd_, code)) {
    case SocketCalls::PeekResult::Nothing:
        return;
    case SocketCalls::PeekResult::Data:
        if (Wants(FD_READ, readArmed_)) {
            readArmed_ = false;
            UpdateWatches();
            Deliver(FD_READ, 0);
        } else {
            // Unread data keeps the socket ready; wait for the owner to read.
            readParked_ = true;
            UpdateWatches();
        }
        return;
    case SocketCalls::PeekResult::Closed:
    case SocketCalls::PeekResult::Failed:
        phase_ = Phase::Ended;
        readArmed_ = false;
        UpdateWatches();
        if (Wants(FD_CLOSE, closeArmed_)) {
            closeArmed_ = false;
            Deliver(FD_CLOSE, code);
        }
        return;
    }
}

void NotifyTarget::Deliver(TNotifyStyles flag, int errorCode)
{
    // The owner may close the socket, select another or destroy this target
    // while it handles the notification: nothing of `this` is used after it.
    const int fd = fd_;
    RunGuarded([&] { sink_.HandleNotification(fd, flag, errorCode); });
}

void NotifyTarget::UpdateWatches()
{
    bool wantRead = false;
    bool wantWrite = false;
    switch (phase_) {
    case Phase::Connecting:
        wantWrite = connectArmed_;
        break;
    case Phase::Open:
        wantWrite = Wants(FD_WRITE, writeArmed_);
        wantRead = !firstWritePending_ && !readParked_ &&
                   (Wants(FD_READ, readArmed_) || Wants(FD_CLOSE, closeArmed_));
        break;
    case Phase::Listening:
        wantRead = Wants(FD_ACCEPT, acceptArmed_) && acceptRetryTimer_ == 0;
        break;
    case Phase::Ended:
        wantWrite = Wants(FD_WRITE, writeArmed_);
        break;
    case Phase::Idle:
        break;
    }
    if (readWatch_) loop_.SetWatchEnabled(readWatch_, wantRead);
    if (writeWatch_) loop_.SetWatchEnabled(writeWatch_, wantWrite);
}

void NotifyTarget::PostFree()
{
    auto alive = alive_;
    loop_.Post([this, alive] {
        if (!*alive) return;
        RunGuarded([&] { sink_.HandleFreeLater(); });
    });
}
