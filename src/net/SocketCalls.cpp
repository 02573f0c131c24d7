#include "net/SocketCalls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace SocketCalls {

namespace {

template <class Call>
auto RetryInterrupted(Call call)
{
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

const sockaddr* AsAddress(const sockaddr_in& endpoint)
{
    return reinterpret_cast<const sockaddr*>(&endpoint);
}

void SetIntOption(int fd, int level, int name, int value)
{
    // Options here are tuning; a socket that refuses one still works.
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

ESocketError ApiError(int code, std::string_view operation)
{
    return ESocketError("Windows ソケットエラー： " + ErrorText(code) + " (" + IntToStr(code) + ") [API '" +
                        std::string(operation) + "']");
}

std::string ErrorText(int code)
{
    if (code < 0) return ::gai_strerror(code);
    return std::strerror(code);
}

bool IsWouldBlock(int code)
{
    return code == EWOULDBLOCK || code == EAGAIN || code == EINPROGRESS;
}

int OpenStreamSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int Bind(int fd, const sockaddr_in& endpoint)
{
    return ::bind(fd, AsAddress(endpoint), sizeof endpoint);
}

int Listen(int fd, int queueLength)
{
    return ::listen(fd, queueLength);
}

int Connect(int fd, const sockaddr_in& endpoint)
{
    const int result = ::connect(fd, AsAddress(endpoint), sizeof endpoint);
    if (result < 0 && errno == EINTR) errno = EINPROGRESS;
    return result;
}

int Close(int fd)
{
    const int result = ::close(fd);
    return result < 0 && errno == EINTR ? 0 : result;
}

int Accept(int fd, sockaddr_in& peer)
{
    return RetryInterrupted([&] {
        socklen_t length = sizeof peer;
        return ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    });
}

ssize_t Send(int fd, const void* buffer, std::size_t count)
{
    return RetryInterrupted([&] { return ::send(fd, buffer, count, MSG_NOSIGNAL); });
}

ssize_t Receive(int fd, void* buffer, std::size_t count)
{
    return RetryInterrupted([&] { return ::recv(fd, buffer, count, 0); });
}

PeekResult Peek(int fd, int& errorCode)
{
    char byte;
    const ssize_t n = RetryInterrupted([&] { return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    errorCode = 0;
    if (n > 0) return PeekResult::Data;
    if (n == 0) return PeekResult::Closed;
    if (IsWouldBlock(errno)) return PeekResult::Nothing;
    errorCode = errno;
    return PeekResult::Failed;
}

int ReadableCount(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0) return 0;
    return count;
}

int UnacknowledgedCount(int fd)
{
    int count = 0;
    if (::ioctl(fd, SIOCOUTQ, &count) < 0) return 0;
    return count;
}

int TakePendingError(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    return error;
}

int PeerName(int fd, sockaddr_in& peer)
{
    socklen_t length = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
}

int LocalName(int fd, sockaddr_in& local)
{
    socklen_t length = sizeof local;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
}

void SetNonBlocking(int fd, bool nonBlocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return;
    (void)::fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

void AllowAddressReuse(int fd)
{
    SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

void ConfigureConnection(int fd, const KeepAliveTimes& keepAlive)
{
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, keepAlive.IdleSec);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, keepAlive.IntervalSec);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, keepAlive.Probes);
    // Sent bytes that stay unacknowledged end the connection as soon as
    // silence does: the keepalive sends no probe while data is in flight.
    SetIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT,
                 (keepAlive.IdleSec + keepAlive.IntervalSec * keepAlive.Probes) * 1000);
}

std::uint32_t ParseDotted(const std::string& text)
{
    return ::inet_addr(text.c_str());
}

std::string DottedText(std::uint32_t address)
{
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

} // namespace SocketCalls
