// SocketCalls: the one place where the socket layer talks to the system.
//
// Each wrapper retries EINTR and reports failure the POSIX way (-1 with errno
// set) unless it says otherwise, so callers can pass results to
// TCustomWinSocket::CheckResult. Every send uses MSG_NOSIGNAL: a peer that has
// gone away turns into EPIPE, never into SIGPIPE. New descriptors are
// close-on-exec. Any thread may call these.
#pragma once

#include "base/SysUtils.h"
#include "net/SocketTypes.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace SocketCalls {

// "Windows ソケットエラー： <text> (<code>) [API '<operation>']", the message
// every failed system call of this layer is reported with.
ESocketError ApiError(int code, std::string_view operation);
// The system's description of `code`: strerror for errno values, the
// resolver's text for the (negative) getaddrinfo codes.
std::string ErrorText(int code);
// True for the codes that mean "not yet": the call would block, or a connect
// is under way.
bool IsWouldBlock(int code);

// A TCP/IPv4 stream socket, blocking until registered; -1 with errno.
int OpenStreamSocket();
int Bind(int fd, const sockaddr_in& endpoint);
int Listen(int fd, int queueLength);
// An interrupted connect goes on in the background; it reports EINPROGRESS.
int Connect(int fd, const sockaddr_in& endpoint);
// Closes even when interrupted (Linux releases the descriptor either way).
int Close(int fd);
// A new non-blocking, close-on-exec connection, or -1 with errno.
int Accept(int fd, sockaddr_in& peer);

ssize_t Send(int fd, const void* buffer, std::size_t count);
ssize_t Receive(int fd, void* buffer, std::size_t count);
// What a read would find, without taking anything.
enum class PeekResult { Data, Closed, Nothing, Failed };
PeekResult Peek(int fd, int& errorCode);
// Bytes readable now; 0 when the query fails.
int ReadableCount(int fd);
// Bytes written that the peer has not acknowledged (from the sequence
// numbers, so also after the connection failed); 0 when the query fails.
int UnacknowledgedCount(int fd);
// The socket's pending error (SO_ERROR), taken and cleared; 0 for none.
int TakePendingError(int fd);
int PeerName(int fd, sockaddr_in& peer);
int LocalName(int fd, sockaddr_in& local);

void SetNonBlocking(int fd, bool nonBlocking);
// Lets a restarted server bind its port while old connections linger in
// TIME_WAIT; a port that another socket listens on still refuses.
void AllowAddressReuse(int fd);
// TCP_NODELAY and keepalive with the given times; unacknowledged data ends
// the connection after the same time as unanswered keepalive probes.
void ConfigureConnection(int fd, const KeepAliveTimes& keepAlive);

// inet_addr: dotted IPv4 text to a network-order address; text that is not
// dotted IPv4 gives all bits set.
std::uint32_t ParseDotted(const std::string& text);
// The dotted decimal form of a network-order address.
std::string DottedText(std::uint32_t address);

} // namespace SocketCalls
