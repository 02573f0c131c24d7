// TCustomWinSocket's side of the encrypted link: the handshake, and the
// reads and writes that go through the TlsEngine. Its ciphertext leaves
// through the connection's send queue like any plain byte, so the queue's
// count, its limit, the write notifications and the teardown are the same
// for both.
#include "net/CustomWinSocket.h"

#include "base/EventLoop.h"
#include "net/SocketCalls.h"

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {

// Ciphertext taken from the socket per receive.
constexpr std::size_t CiphertextChunkBytes = 64 * 1024;

} // namespace

bool TCustomWinSocket::BeginLink(bool asServer)
{
    const std::optional<LinkKey>& key = LinkKeyInUse();
    if (!key || sock_ == InvalidSocket) return false;
    try {
        tls_ = std::make_unique<TlsEngine>(asServer, *key, [this](std::string&& ciphertext) {
            sendQueue_.Append(std::move(ciphertext));
        });
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
    plainEndsWrite_ = false;
    readEndsWrite_ = false;
}

void TCustomWinSocket::StepLink()
{
    const int fd = sock_;
    const TlsEngine::Status status = tls_->Handshake();
    // Its messages leave as the socket takes them, an alert before a failure too.
    if (!FlushQueue() && !OnSocket(fd)) return;
    switch (status) {
    case TlsEngine::Status::Done:
        LinkEstablished();
        return;
    case TlsEngine::Status::WantsInput:
        return;
    case TlsEngine::Status::Closed:
    case TlsEngine::Status::Failed:
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
    if (!OnSocket(fd)) return;
    // The owner hears that the connection takes data, as after any connect,
    // once what was written during the handshake has left.
    if (sendQueue_.Empty()) FireEvent(this, skWrite);
    // Records that came with the handshake's last flight wait unread.
    if (OnSocket(fd)) ScheduleLinkRead();
}

void TCustomWinSocket::FailLink()
{
    // Nothing was agreed, so nothing is said: no close_notify, no kept byte.
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

void TCustomWinSocket::CloseLink(int handle)
{
    // A peer that hangs up during the handshake is a failed one.
    if (!tls_->Established()) return FailLink();
    // What the peer sent before it closed is told first, a write at a time,
    // while the owner takes it.
    while (OnSocket(handle) && plain_.empty() && tls_->HasBuffered() && ReadLink(handle)) {
    }
    if (OnSocket(handle)) Teardown(handle);
}

int TCustomWinSocket::TakeCiphertext()
{
    if (notifyTarget_) notifyTarget_->ReadConsumed();
    std::string chunk(CiphertextChunkBytes, '\0');
    const ssize_t received = SocketCalls::Receive(sock_, chunk.data(), chunk.size());
    if (received < 0) {
        const int code = errno;
        if (SocketCalls::IsWouldBlock(code)) return 0;
        return FailTransfer(ekReceive, code, "recv");
    }
    tls_->Feed(chunk.data(), static_cast<std::size_t>(received));
    return static_cast<int>(received);
}

TlsEngine::Status TCustomWinSocket::DecryptWrite()
{
    for (;;) {
        const std::size_t room = LinkReadLimitBytes - std::min(plain_.size(), LinkReadLimitBytes);
        const TlsEngine::Status status = tls_->Read(plain_, room, plainEndsWrite_);
        if (status != TlsEngine::Status::WantsInput || TakeCiphertext() <= 0) return status;
    }
}

bool TCustomWinSocket::ReadLink(int handle)
{
    if (!OnSocket(handle)) return false;
    if (!tls_->Established()) {
        if (TakeCiphertext() >= 0 && OnSocket(handle)) StepLink();
        return false;
    }
    const TlsEngine::Status status = plain_.empty() ? DecryptWrite() : TlsEngine::Status::Done;
    if (!OnSocket(handle)) return false;
    if (status == TlsEngine::Status::Failed) {
        FailTransfer(ekReceive, tls_->ErrorCode(), "recv");
        return false;
    }
    const bool told = !plain_.empty();
    if (told) FireEvent(this, skRead);
    if (status == TlsEngine::Status::Closed && OnSocket(handle)) Teardown(handle);
    return told;
}

int TCustomWinSocket::SendLink(const char* bytes, std::size_t size, int count)
{
    if (size == 0) return 0;
    if (QueuedBytes() + size > SendQueueLimit()) return FailTransfer(ekSend, ENOBUFS, "send");
    if (tls_->Write(bytes, size) != TlsEngine::Status::Done) return FailTransfer(ekSend, tls_->ErrorCode(), "send");
    const int fd = sock_;
    if (!FlushQueue() && !OnSocket(fd)) return -1;
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
    readEndsWrite_ = plain_.empty() && plainEndsWrite_;
    // The socket signals only what it still holds; what the engine holds is
    // signalled from here.
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
