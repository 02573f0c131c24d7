// TCustomWinSocket's side of the encrypted link: the handshake, and the
// reads and writes that go through the TlsFilter instead of the socket.
#include "net/CustomWinSocket.h"

#include "base/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <limits>

bool TCustomWinSocket::BeginLink(bool asServer)
{
    const std::optional<LinkKey>& key = LinkKeyInUse();
    if (!key || sock_ == InvalidSocket) return false;
    try {
        tls_ = std::make_unique<TlsFilter>(sock_, asServer, *key);
    } catch (const std::exception&) {
        FailLink();
        return true;
    }
    std::weak_ptr<void> life = life_;
    handshakeTimer_ = Loop().StartTimer(LinkHandshakeTimeoutMs, [this, life] {
        if (life.expired()) return;
        StateGuard guard(*this);
        if (tls_ && !tls_->Established()) FailLink();
    });
    // The client speaks first; the server waits for its hello.
    if (!asServer) StepLink();
    return true;
}

void TCustomWinSocket::EndLink()
{
    if (handshakeTimer_ != 0) Loop().StopTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    tls_.reset();
    plain_.clear();
}

void TCustomWinSocket::StepLink()
{
    switch (tls_->Handshake()) {
    case TlsFilter::Status::Done:
        LinkEstablished();
        return;
    case TlsFilter::Status::Blocked:
        if (tls_->WantsWrite() && notifyTarget_) notifyTarget_->WriteBlocked();
        return;
    case TlsFilter::Status::Closed:
    case TlsFilter::Status::Failed:
        FailLink();
        return;
    }
}

void TCustomWinSocket::LinkEstablished()
{
    if (handshakeTimer_ != 0) Loop().StopTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    const int fd = sock_;
    FireEvent(this, skConnect);
    // The handler may have closed the connection.
    if (!tls_ || sock_ != fd) return;
    // What was written during the handshake leaves now; then the owner hears
    // that the connection takes data, as after any connect.
    if (!FlushLink()) return;
    // Records that came with the handshake's last flight wait unread.
    if (tls_ && sock_ == fd) ScheduleLinkRead();
}

void TCustomWinSocket::FailLink()
{
    // Nothing was agreed, so nothing is said: no close_notify, no queued byte.
    const std::string address = peerAddress_;
    EndLink();
    if (sock_ == InvalidSocket) return;
    if (isConnected_) {
        Teardown(sock_);
    } else {
        CloseSocketQuietly();
    }
    FireRefusal(address, rfKeyMismatch);
}

void TCustomWinSocket::ReadLink(int handle)
{
    if (sock_ == InvalidSocket || handle != sock_) return;
    if (notifyTarget_) notifyTarget_->ReadConsumed();
    if (!tls_->Established()) return StepLink();
    const TlsFilter::Status status = tls_->Read(plain_, LinkReadLimitBytes);
    if (status == TlsFilter::Status::Failed) {
        FailTransfer(ekReceive, tls_->ErrorCode(), "recv");
        return;
    }
    const int fd = sock_;
    if (!plain_.empty()) FireEvent(this, skRead);
    if (status == TlsFilter::Status::Closed && sock_ == fd) Teardown(fd);
}

void TCustomWinSocket::WriteLink(int handle)
{
    if (sock_ == InvalidSocket || handle != sock_) return;
    if (!tls_->Established()) return StepLink();
    FlushLink();
}

bool TCustomWinSocket::FlushLink()
{
    switch (tls_->Flush()) {
    case TlsFilter::Status::Done:
        FireEvent(this, skWrite);
        return true;
    case TlsFilter::Status::Blocked:
        if (notifyTarget_) notifyTarget_->WriteBlocked();
        return true;
    case TlsFilter::Status::Closed:
    case TlsFilter::Status::Failed:
        break;
    }
    FailTransfer(ekSend, tls_->ErrorCode(), "send");
    return false;
}

int TCustomWinSocket::SendLink(const char* bytes, std::size_t size, int count)
{
    if (size == 0) return 0;
    if (tls_->QueuedBytes() + size > SendQueueLimit()) return FailTransfer(ekSend, ENOBUFS, "send");
    switch (tls_->Write(bytes, size)) {
    case TlsFilter::Status::Done:
        break;
    case TlsFilter::Status::Blocked:
        if (notifyTarget_) notifyTarget_->WriteBlocked();
        break;
    case TlsFilter::Status::Closed:
    case TlsFilter::Status::Failed:
        return FailTransfer(ekSend, tls_->ErrorCode(), "send");
    }
    return count;
}

int TCustomWinSocket::ReceiveLink(void* buffer, int count)
{
    constexpr std::size_t maxCount = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (count == -1) return static_cast<int>(std::min(plain_.size(), maxCount));
    if (notifyTarget_) notifyTarget_->ReadConsumed();
    if (plain_.empty()) return -1;
    const std::size_t taken = std::min(plain_.size(), count > 0 ? static_cast<std::size_t>(count) : 0);
    std::copy_n(plain_.data(), taken, static_cast<char*>(buffer));
    plain_.erase(0, taken);
    // The socket signals only what it still holds; plaintext already taken
    // out of it is signalled from here.
    if (!plain_.empty() || tls_->HasBuffered()) ScheduleLinkRead();
    return static_cast<int>(taken);
}

void TCustomWinSocket::ScheduleLinkRead()
{
    if (linkReadPosted_) return;
    linkReadPosted_ = true;
    std::weak_ptr<void> life = life_;
    Loop().Post([this, life] {
        if (life.expired()) return;
        linkReadPosted_ = false;
        if (tls_ && tls_->Established()) HandleNotification(sock_, FD_READ, 0);
    });
}
