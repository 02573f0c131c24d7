// Helpers for the socket layer's tests: plain blocking loopback sockets that
// play the peer, descriptor counting, and capture of errors the loop reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TServerSocket;

// Closes the descriptor it holds.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    int Release();
    void Reset(int fd = -1);

private:
    int fd_;
};

// A listening socket on 127.0.0.1 at a port the system picks.
UniqueFd ListenLoopback(std::uint16_t& port);
// A blocking connection to 127.0.0.1:port, from `source` (a loopback
// address) when given; fails the test when refused.
UniqueFd ConnectLoopback(std::uint16_t port, const char* source = nullptr);
// Accepts one connection, waiting up to a deadline; -1 when none came.
UniqueFd AcceptWithin(int listenFd, int timeoutMs = 5000);
// A port on 127.0.0.1 where nothing listens (bound, then released).
std::uint16_t UnusedPort();
// The local port a socket is bound to.
std::uint16_t LocalPort(int fd);
std::uint16_t ListeningPort(TServerSocket& server);
// The port of the peer a connected socket talks to.
std::uint16_t PeerPort(int fd);

// Reads until `count` bytes have come or the peer closes, up to a deadline.
std::string ReadExactly(int fd, std::size_t count, int timeoutMs = 5000);
// True when the peer has closed (a read returns 0) within the deadline.
bool WaitForPeerClose(int fd, int timeoutMs = 5000);
void WriteAll(int fd, const std::string& bytes);
// Closes with a reset instead of an orderly close (SO_LINGER 0).
void CloseWithReset(UniqueFd& fd);
void SetReceiveBuffer(int fd, int bytes);

int OpenDescriptorCount();
int IntOption(int fd, int level, int name);

// Captures what the loop's error reporter receives while alive.
class ReportedErrors {
public:
    ReportedErrors();
    ~ReportedErrors();
    ReportedErrors(const ReportedErrors&) = delete;
    ReportedErrors& operator=(const ReportedErrors&) = delete;
    const std::vector<std::string>& Messages() const { return *messages_; }

private:
    std::vector<std::string>* messages_;
};
