#include "NetTestSupport.h"

#include "base/EventLoop.h"
#include "net/ServerSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in LoopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

} // namespace

UniqueFd::~UniqueFd() { Reset(); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    Reset(other.Release());
    return *this;
}

int UniqueFd::Release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

UniqueFd ListenLoopback(std::uint16_t& port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(0);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.Get(), 16), 0);
    port = LocalPort(fd.Get());
    return fd;
}

UniqueFd ConnectLoopback(std::uint16_t port, const char* source)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    sockaddr_in address = LoopbackAddress(port);
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

UniqueFd AcceptWithin(int listenFd, int timeoutMs)
{
    if (!WaitReadable(listenFd, timeoutMs)) return UniqueFd();
    return UniqueFd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

std::uint16_t UnusedPort()
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(0);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return LocalPort(fd.Get());
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::uint16_t PeerPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::uint16_t ListeningPort(TServerSocket& server)
{
    return LocalPort(server.Listener()->Sock());
}

std::string ReadExactly(int fd, std::size_t count, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string bytes;
    std::vector<char> buffer(1 << 16);
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) break;
        const ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), count - bytes.size()), 0);
        if (n <= 0) break;
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return bytes;
}

bool WaitForPeerClose(int fd, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
}

void WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
}

void CloseWithReset(UniqueFd& fd)
{
    linger option{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    fd.Reset();
}

void SetReceiveBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int OpenDescriptorCount()
{
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1; // the directory's own descriptor
}

int IntOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) < 0) return -1;
    return value;
}

ReportedErrors::ReportedErrors() : messages_(new std::vector<std::string>)
{
    auto* messages = messages_;
    SetErrorReporter([messages](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            messages->push_back(e.what());
        }
    });
}

ReportedErrors::~ReportedErrors()
{
    SetErrorReporter(nullptr);
    delete messages_;
}
