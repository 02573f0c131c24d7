#include "app/InstanceLock.h"

#include "base/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr mode_t MarkerFileMode = 0600;
// Room for a few copies asking at once; a copy finding it full is refused
// at once and exits as it would anyway.
constexpr int MarkerBacklog = 4;
// Accepted per readiness, so that a flood of connections cannot hold the loop.
constexpr int MaxAcceptsPerWake = 8;

// Owned by this user and writable by no one else: nobody but the user (and
// root) can make a file there.
bool IsPrivateFolder(const std::string& path)
{
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

sockaddr_un AbstractAddress(const std::string& name, socklen_t& length)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Leading zero byte: the abstract namespace. Over-long names are cut,
    // which keeps the outcome the same for every copy using the same name.
    const std::size_t room = sizeof(address.sun_path) - 1;
    const std::size_t used = name.size() < room ? name.size() : room;
    std::memcpy(address.sun_path + 1, name.data(), used);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
    return address;
}

// The lock file and, beside it, the request socket of a marker kept in a
// private runtime folder. A display name may hold "/" (a Wayland socket's
// full path).
std::string MarkerFilePath(const std::string& name, const std::string& runtimeDir, std::string_view suffix)
{
    std::string fileName = name;
    std::replace(fileName.begin(), fileName.end(), '/', '_');
    return runtimeDir + "/" + fileName + std::string(suffix);
}

constexpr std::string_view LockSuffix = ".lock";
constexpr std::string_view SocketSuffix = ".socket";

// False when the path does not fit a socket address.
bool PathAddress(const std::string& path, sockaddr_un& address, socklen_t& length)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

bool PeerIsThisUser(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == ::geteuid();
}

// Whether the process listening on the name runs as this user. A holder
// that does not listen, as no copy of this program does, tells nothing.
bool HolderIsThisUser(const sockaddr_un& address, socklen_t length)
{
    // Blocking: a holder whose queue is full, as at its start, is waited
    // for rather than taken for a stranger.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool ours =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 && PeerIsThisUser(probe);
    ::close(probe);
    return ours;
}

// Connects to a holder of this user and sends the show request.
bool SendShowRequest(const sockaddr_un& address, socklen_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const char request = TShowRequests::ShowRequest;
    const bool sent = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      PeerIsThisUser(fd) && ::send(fd, &request, 1, MSG_NOSIGNAL) == 1;
    ::close(fd);
    return sent;
}

} // namespace

TInstanceLock::TInstanceLock(const std::string& name, const std::string& runtimeDir)
{
    if (IsPrivateFolder(runtimeDir)) {
        LockFile(MarkerFilePath(name, runtimeDir, LockSuffix));
        if (state_ == State::Acquired) ListenForRequests(MarkerFilePath(name, runtimeDir, SocketSuffix));
    } else {
        BindAbstract(name);
    }
}

TInstanceLock::~TInstanceLock()
{
    if (requestFd_ >= 0 && requestFd_ != fd_) {
        ::close(requestFd_);
        ::unlink(requestPath_.c_str());
    }
    if (fd_ >= 0 && !keptForProcess_) ::close(fd_);
}

void TInstanceLock::ListenForRequests(const std::string& path)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!PathAddress(path, address, length)) return;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    // What is there is a dead holder's: the lock says none lives.
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd, MarkerBacklog) == 0) {
        requestFd_ = fd;
        requestPath_ = path;
        return;
    }
    ::close(fd);
}

bool TInstanceLock::AskToShow(const std::string& name, const std::string& runtimeDir)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (IsPrivateFolder(runtimeDir)) {
        if (!PathAddress(MarkerFilePath(name, runtimeDir, SocketSuffix), address, length)) return false;
    } else {
        address = AbstractAddress(name, length);
    }
    return SendShowRequest(address, length);
}

void TInstanceLock::LockFile(const std::string& path)
{
    // Close-on-exec: a program this one starts must not keep the lock.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, MarkerFileMode);
    if (fd < 0) return; // Unavailable: the program runs without the marker
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) {
        fd_ = fd;
        state_ = State::Acquired;
        return;
    }
    state_ = errno == EWOULDBLOCK ? State::HeldByAnother : State::Unavailable;
    ::close(fd);
}

void TInstanceLock::BindAbstract(const std::string& name)
{
    socklen_t length = 0;
    const sockaddr_un address = AbstractAddress(name, length);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        // Listening lets a later copy ask who holds the name.
        if (::listen(fd, MarkerBacklog) == 0) {
            fd_ = fd;
            requestFd_ = fd;
            state_ = State::Acquired;
            return;
        }
    } else if (errno == EADDRINUSE && HolderIsThisUser(address, length)) {
        state_ = State::HeldByAnother;
    }
    ::close(fd);
}

std::string TInstanceLock::MarkerName(uid_t uid, std::string_view display)
{
    const std::size_t colon = display.rfind(':');
    if (colon != std::string_view::npos) {
        const std::size_t dot = display.find('.', colon);
        if (dot != std::string_view::npos) display = display.substr(0, dot);
    }
    return "tessaro2-" + std::to_string(uid) + "-" + std::string(display);
}

std::string TInstanceLock::SessionMarkerName()
{
    const char* display = std::getenv("DISPLAY");
    if (display && *display) return MarkerName(::getuid(), display);
    // A Wayland display's name is a socket in the runtime folder, unless it
    // is a full path: two sessions of one user may use the same name.
    std::string wayland = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
    if (!wayland.empty() && wayland.front() != '/') wayland = SessionRuntimeDir() + "/" + wayland;
    return MarkerName(::getuid(), wayland);
}

std::string TInstanceLock::SessionRuntimeDir()
{
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir ? dir : "";
}

TShowRequests::TShowRequests(EventLoop& loop, int requestFd, std::function<void()> onShow)
    : loop_(loop), requestFd_(requestFd), onShow_(std::move(onShow))
{
    if (requestFd_ >= 0) acceptWatch_ = loop_.Watch(requestFd_, Readiness::Read, [this] { Accept(); });
}

TShowRequests::~TShowRequests()
{
    while (!waiting_.empty()) Drop(0);
    if (acceptWatch_ != 0) loop_.Unwatch(acceptWatch_);
}

void TShowRequests::Accept()
{
    for (int i = 0; i < MaxAcceptsPerWake; ++i) {
        const int fd = ::accept4(requestFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!PeerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        if (waiting_.size() == MaxWaitingRequests) Drop(0);
        waiting_.push_back({fd, loop_.Watch(fd, Readiness::Read, [this, fd] { Read(fd); })});
    }
}

void TShowRequests::Read(int fd)
{
    const auto found = std::find_if(waiting_.begin(), waiting_.end(), [fd](const Waiting& w) { return w.fd == fd; });
    if (found == waiting_.end()) return;
    char request = 0;
    const ssize_t got = ::recv(fd, &request, 1, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // One request per connection; whatever else came, it is done with.
    Drop(static_cast<std::size_t>(found - waiting_.begin()));
    if (got == 1 && request == ShowRequest) onShow_();
}

void TShowRequests::Drop(std::size_t index)
{
    loop_.Unwatch(waiting_[index].watch);
    ::close(waiting_[index].fd);
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(index));
}
