#include "net/CustomWinSocket.h"

#include "base/EventLoop.h"
#include "base/SysUtils.h"
#include "net/SocketCalls.h"

#include <algorithm>
#include <cerrno>
#include <exception>

namespace {

KeepAliveTimes g_keepAlive = DefaultKeepAliveTimes;
std::size_t g_sendQueueLimitBytes = DefaultSendQueueLimitBytes;
AddressFilter g_peerFilter;
std::optional<LinkKey> g_linkKey;

TErrorEvent ErrorKindFor(TNotifyStyles flag)
{
    switch (flag) {
    case FD_CONNECT: return ekConnect;
    case FD_CLOSE: return ekDisconnect;
    case FD_READ: return ekReceive;
    case FD_WRITE: return ekSend;
    case FD_ACCEPT: return ekAccept;
    default: return ekGeneral;
    }
}

} // namespace

TCustomWinSocket::StateGuard::StateGuard(TCustomWinSocket& socket) : socket_(socket)
{
    socket_.stateLock_.lock();
    ++socket_.busy_;
}

TCustomWinSocket::StateGuard::~StateGuard()
{
    const bool release = --socket_.busy_ == 0 && socket_.disposed_;
    socket_.stateLock_.unlock();
    if (release) delete &socket_;
}

TCustomWinSocket::TCustomWinSocket(int handle, EventLoop* loop)
    : sock_(handle),
      isConnected_(handle != InvalidSocket),
      resolution_([this](const LookupResult& answer) { HandleLookupAnswer(answer); }),
      loop_(loop)
{
    ResetEndpoint();
    if (isConnected_) {
        sockaddr_in peer{};
        if (SocketCalls::PeerName(sock_, peer) == 0) peerAddress_ = SocketCalls::DottedText(peer.sin_addr.s_addr);
    }
}

TCustomWinSocket::~TCustomWinSocket() = default;

void TCustomWinSocket::Destroy()
{
    if (disposed_) return;
    StateGuard guard(*this);
    disposed_ = true;
    life_.reset();
    Dispose();
}

void TCustomWinSocket::Dispose()
{
    EventSink = nullptr;
    ErrorSink = nullptr;
    RefusalSink = nullptr;
    if (isConnected_ && sock_ != InvalidSocket) {
        try {
            Teardown(sock_);
        } catch (...) {
            // Only the close can fail here, and the descriptor is released
            // whatever close reports; there is nobody left to tell.
        }
    }
    CloseSocketQuietly();
}

void TCustomWinSocket::SetKeepAlive(const KeepAliveTimes& times) { g_keepAlive = times; }
KeepAliveTimes TCustomWinSocket::KeepAlive() { return g_keepAlive; }
void TCustomWinSocket::SetSendQueueLimit(std::size_t bytes) { g_sendQueueLimitBytes = bytes; }
std::size_t TCustomWinSocket::SendQueueLimit() { return g_sendQueueLimitBytes; }
void TCustomWinSocket::SetPeerFilter(const AddressFilter& filter) { g_peerFilter = filter; }
const AddressFilter& TCustomWinSocket::PeerFilter() { return g_peerFilter; }
void TCustomWinSocket::SetLinkKey(const std::optional<LinkKey>& key) { g_linkKey = key; }
const std::optional<LinkKey>& TCustomWinSocket::LinkKeyInUse() { return g_linkKey; }

EventLoop& TCustomWinSocket::Loop()
{
    if (!loop_) loop_ = &MainLoop();
    return *loop_;
}

NotifyTarget& TCustomWinSocket::Target()
{
    if (!notifyTarget_) notifyTarget_ = std::make_unique<NotifyTarget>(Loop(), static_cast<NotifySink&>(*this));
    return *notifyTarget_;
}

void TCustomWinSocket::ResetEndpoint()
{
    endpoint_ = sockaddr_in{};
    endpoint_.sin_family = AF_INET;
}

void TCustomWinSocket::CheckResult(int result, const char* operation)
{
    if (result == 0) return;
    const int code = errno;
    if (SocketCalls::IsWouldBlock(code)) return;
    throw SocketCalls::ApiError(code, operation);
}

void TCustomWinSocket::FireEvent(TCustomWinSocket* socket, TSocketEventKind kind)
{
    // A copy: the handler may replace or clear the sink while it runs.
    if (TSocketEventSink sink = EventSink) sink(this, socket, kind);
}

void TCustomWinSocket::FireError(TCustomWinSocket* socket, TErrorEvent kind, int& code)
{
    if (TSocketErrorSink sink = ErrorSink) sink(this, socket, kind, code);
}

void TCustomWinSocket::FireRefusal(const std::string& peerAddress, TRefusal why)
{
    if (TSocketRefusalSink sink = RefusalSink) sink(this, peerAddress, why);
}

void TCustomWinSocket::BeginSocket(const char* alreadyOpenMessage)
{
    if (isConnected_) throw ESocketError(alreadyOpenMessage);
    // An attempt that is pending or failed gives way to the new one without
    // a word: its outcome concerns nobody, and its descriptor must not leak.
    CloseSocketQuietly();
    const int fd = SocketCalls::OpenStreamSocket();
    if (fd < 0) throw ESocketError("ソケットが作成できません");
    sock_ = fd;
}

void TCustomWinSocket::CloseSocketQuietly()
{
    resolution_.Reset();
    EndLink();
    if (sock_ == InvalidSocket) return;
    if (notifyTarget_) notifyTarget_->Forget();
    SocketCalls::Close(sock_);
    sock_ = InvalidSocket;
    ResetEndpoint();
    sendQueue_.Clear();
}

void TCustomWinSocket::StartConnect(const std::string& host, const std::string& address, const std::string& service,
                                    std::uint16_t port, bool blocking)
{
    StateGuard guard(*this);
    BeginSocket("ソケットはすでに開いています");
    SocketCalls::ConfigureConnection(sock_, g_keepAlive);
    try {
        resolution_.Begin({host, address, service, port, 0, true, blocking});
        FireEvent(this, skLookup);
        Resolve();
    } catch (...) {
        Teardown(sock_);
        throw;
    }
}

void TCustomWinSocket::StartListen(const std::string& host, const std::string& address, const std::string& service,
                                   std::uint16_t port, int queueLength, bool blocking)
{
    StateGuard guard(*this);
    BeginSocket("開いたソケットでリスンできません");
    SocketCalls::AllowAddressReuse(sock_);
    try {
        resolution_.Begin({host, address, service, port, queueLength, false, blocking});
        FireEvent(this, skLookup);
        Resolve();
    } catch (...) {
        Teardown(sock_);
        throw;
    }
}

void TCustomWinSocket::Resolve()
{
    try {
        switch (resolution_.Advance(Loop(), endpoint_)) {
        case Resolution::Step::Waiting:
            return;
        case Resolution::Step::LookupFailed:
            return FailLookup(resolution_.ErrorCode());
        case Resolution::Step::NoAddress: {
            int code = NoAddressErrorCode;
            FireError(this, ekLookup, code);
            Teardown(sock_);
            if (code != 0) throw ESocketError("アドレスが指定されていません");
            return;
        }
        case Resolution::Step::Ready:
            if (resolution_.Request().isClient) return OpenStep();
            return ListenStep(resolution_.Request().queueLength);
        }
    } catch (...) {
        Teardown(sock_);
        throw;
    }
}

void TCustomWinSocket::FailLookup(int errorCode)
{
    resolution_.Reset();
    int code = errorCode;
    FireError(this, ekLookup, code);
    Teardown(sock_);
    if (code != 0) throw SocketCalls::ApiError(errorCode, "ASync Lookup");
}

void TCustomWinSocket::HandleLookupAnswer(const LookupResult& answer)
{
    StateGuard guard(*this);
    if (answer.errorCode != 0) return FailLookup(answer.errorCode);
    resolution_.TakeAnswer(answer, endpoint_);
    Resolve();
}

void TCustomWinSocket::OpenStep()
{
    if (!g_peerFilter.Allows(endpoint_.sin_addr.s_addr)) {
        // Not a byte, not even a SYN, goes to a peer outside the list.
        const std::string address = SocketCalls::DottedText(endpoint_.sin_addr.s_addr);
        Teardown(sock_);
        FireRefusal(address, rfAddress);
        return;
    }
    const int fd = sock_;
    ApplyNotifyStyles();
    FireEvent(this, skConnecting);
    if (!OnSocket(fd)) return;
    CheckResult(SocketCalls::Connect(sock_, endpoint_), "connect");
    if (notifyStyles_ != 0) Target().ConnectIssued();
    if (notifyStyles_ & FD_CONNECT) return;
    MarkConnected();
    FireEvent(this, skConnect);
}

void TCustomWinSocket::ListenStep(int queueLength)
{
    CheckResult(SocketCalls::Bind(sock_, endpoint_), "bind");
    // Port 0 lets the system choose: the endpoint shows the port it chose.
    sockaddr_in bound{};
    if (SocketCalls::LocalName(sock_, bound) == 0) endpoint_.sin_port = bound.sin_port;
    ApplyNotifyStyles();
    const int length = std::min(queueLength, MaxListenQueueLength);
    const int fd = sock_;
    FireEvent(this, skListen);
    if (!OnSocket(fd)) return;
    CheckResult(SocketCalls::Listen(sock_, length), "listen");
    isConnected_ = true;
}

void TCustomWinSocket::MarkConnected()
{
    isConnected_ = sock_ != InvalidSocket;
    sockaddr_in peer{};
    if (isConnected_ && SocketCalls::PeerName(sock_, peer) == 0)
        peerAddress_ = SocketCalls::DottedText(peer.sin_addr.s_addr);
}

void TCustomWinSocket::NotePeer(const sockaddr_in& peer)
{
    if (isConnected_ && peerAddress_.empty()) peerAddress_ = SocketCalls::DottedText(peer.sin_addr.s_addr);
}

void TCustomWinSocket::ApplyNotifyStyles()
{
    if (sock_ == InvalidSocket) return;
    if (notifyStyles_ != 0) {
        Target().Select(sock_, notifyStyles_, isConnected_);
    } else if (notifyTarget_) {
        notifyTarget_->Select(sock_, 0, isConnected_);
    } else {
        SocketCalls::SetNonBlocking(sock_, false);
    }
}

void TCustomWinSocket::SetNotifyStyles(TNotifyStyles styles)
{
    if (styles == notifyStyles_) return;
    notifyStyles_ = styles;
    if (sock_ != InvalidSocket) ApplyNotifyStyles();
}

void TCustomWinSocket::HandleNotification(int handle, TNotifyStyles flag, int errorCode)
{
    StateGuard guard(*this);
    if (errorCode != 0) {
        int code = errorCode;
        FireError(this, ErrorKindFor(flag), code);
        if (code != 0) throw ESocketError("非同期ソケットエラー " + IntToStr(code));
        return;
    }
    switch (flag) {
    case FD_ACCEPT: AcceptReady(handle); break;
    case FD_CONNECT: ConnectDone(handle); break;
    case FD_CLOSE:
        if (tls_ && OnSocket(handle)) {
            CloseLink(handle);
        } else {
            Teardown(handle);
        }
        break;
    case FD_READ: ReadReady(handle); break;
    case FD_WRITE: WriteReady(handle); break;
    default: break;
    }
}

void TCustomWinSocket::AcceptReady(int) {}
void TCustomWinSocket::ConnectDone(int) {}

void TCustomWinSocket::ReadReady(int handle)
{
    if (tls_) {
        ReadLink(handle);
    } else if (OnSocket(handle)) {
        FireEvent(this, skRead);
    }
}

void TCustomWinSocket::WriteReady(int handle)
{
    if (!OnSocket(handle) || !FlushQueue()) return;
    // During the handshake the owner has not heard of the connection yet.
    if (tls_ && !tls_->Established()) return;
    FireEvent(this, skWrite);
}

void TCustomWinSocket::HandleFreeLater()
{
    Destroy();
}

void TCustomWinSocket::FreeLater()
{
    if (disposed_ || !notifyTarget_) return;
    notifyTarget_->PostFree();
}

void TCustomWinSocket::CloseConnection()
{
    Teardown(sock_);
}

void TCustomWinSocket::Teardown(int handle)
{
    StateGuard guard(*this);
    resolution_.Cancel();
    // `closing_`: a disconnect handler that closes again must not recurse.
    if (!OnSocket(handle) || closing_) return;
    closing_ = true;
    std::exception_ptr handlerError;
    try {
        FireEvent(this, skDisconnect);
    } catch (...) {
        // The socket is closed all the same; the error goes on afterwards.
        handlerError = std::current_exception();
    }
    // What is still queued gets one last chance to leave before the close,
    // the link's goodbye last.
    if (tls_) tls_->Shutdown();
    (void)sendQueue_.Flush(sock_);
    EndLink();
    if (notifyTarget_) notifyTarget_->Forget();
    const int result = SocketCalls::Close(sock_);
    const int closeError = errno;
    sock_ = InvalidSocket;
    ResetEndpoint();
    isConnected_ = false;
    peerAddress_.clear();
    sendQueue_.Clear();
    closing_ = false;
    if (handlerError) std::rethrow_exception(handlerError);
    errno = closeError;
    CheckResult(result, "closesocket");
}

int TCustomWinSocket::SendBytes(const void* buffer, int count)
{
    StateGuard guard(*this);
    if (!isConnected_ || sock_ == InvalidSocket) return 0;
    const std::size_t size = count > 0 ? static_cast<std::size_t>(count) : 0;
    const char* bytes = static_cast<const char*>(buffer);
    if (tls_) return SendLink(bytes, size, count);
    if (!sendQueue_.Empty()) {
        // Behind bytes still waiting: queue, so the order is kept.
        if (size == 0) return 0;
        if (sendQueue_.Bytes() + size > g_sendQueueLimitBytes) return FailTransfer(ekSend, ENOBUFS, "send");
        sendQueue_.Append(bytes, size);
        return count;
    }
    ssize_t sent = SocketCalls::Send(sock_, bytes, size);
    if (sent < 0) {
        const int code = errno;
        if (!SocketCalls::IsWouldBlock(code)) return FailTransfer(ekSend, code, "send");
        sent = 0;
    }
    const std::size_t rest = size - static_cast<std::size_t>(sent);
    if (rest > 0) {
        if (rest > g_sendQueueLimitBytes) return FailTransfer(ekSend, ENOBUFS, "send");
        sendQueue_.Append(bytes + sent, rest);
        if (notifyTarget_) notifyTarget_->WriteBlocked();
    }
    return static_cast<int>(size);
}

std::size_t TCustomWinSocket::UnacknowledgedBytes() const
{
    if (sock_ == InvalidSocket) return QueuedBytes();
    return QueuedBytes() + static_cast<std::size_t>(SocketCalls::UnacknowledgedCount(sock_));
}

int TCustomWinSocket::SendString(std::string_view text)
{
    return SendBytes(text.data(), static_cast<int>(text.size()));
}

bool TCustomWinSocket::FlushQueue()
{
    const int code = sendQueue_.Flush(sock_);
    if (code == 0) return true;
    if (SocketCalls::IsWouldBlock(code)) {
        if (notifyTarget_) notifyTarget_->WriteBlocked();
    } else if (tls_ && !tls_->Established()) {
        // A peer that goes away during the handshake is a failed one.
        FailLink();
    } else {
        FailTransfer(ekSend, code, "send");
    }
    return false;
}

int TCustomWinSocket::FailTransfer(TErrorEvent kind, int errorCode, const char* operation)
{
    int code = errorCode;
    FireError(this, kind, code);
    Teardown(sock_);
    if (code != 0) throw SocketCalls::ApiError(code, operation);
    return -1;
}

int TCustomWinSocket::ReceiveBytes(void* buffer, int count)
{
    StateGuard guard(*this);
    if (tls_ && isConnected_) return ReceiveLink(buffer, count);
    if (count == -1) return isConnected_ ? SocketCalls::ReadableCount(sock_) : 0;
    if (!isConnected_) return 0;
    const std::size_t size = count > 0 ? static_cast<std::size_t>(count) : 0;
    const ssize_t received = SocketCalls::Receive(sock_, buffer, size);
    const int code = errno;
    if (notifyTarget_) notifyTarget_->ReadConsumed();
    if (received < 0) {
        if (SocketCalls::IsWouldBlock(code)) return -1;
        return FailTransfer(ekReceive, code, "recv");
    }
    return static_cast<int>(received);
}

int TCustomWinSocket::AvailableBytes()
{
    return ReceiveBytes(nullptr, -1);
}

std::string TCustomWinSocket::ReadAllText()
{
    StateGuard guard(*this);
    const int available = AvailableBytes();
    std::string text(available > 0 ? static_cast<std::size_t>(available) : 0, '\0');
    const int received = ReceiveBytes(text.data(), static_cast<int>(text.size()));
    text.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return text;
}

std::string TCustomWinSocket::PeerAddress()
{
    StateGuard guard(*this);
    if (!isConnected_) return {};
    // Noted when the connection was made: after a reset the system cannot
    // name the peer, and a disconnect handler asking for it must not fail.
    if (!peerAddress_.empty()) return peerAddress_;
    sockaddr_in peer{};
    CheckResult(SocketCalls::PeerName(sock_, peer), "getpeername");
    return SocketCalls::DottedText(peer.sin_addr.s_addr);
}
