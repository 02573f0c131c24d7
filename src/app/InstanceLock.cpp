#include "app/InstanceLock.h"

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
constexpr int MarkerBacklog = 1;

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

// Whether the process listening on the name runs as this user. A holder
// that does not listen, as no copy of this program does, tells nothing.
bool HolderIsThisUser(const sockaddr_un& address, socklen_t length)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool ours = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                      credentials.uid == ::geteuid();
    ::close(probe);
    return ours;
}

} // namespace

TInstanceLock::TInstanceLock(const std::string& name, const std::string& runtimeDir)
{
    if (IsPrivateFolder(runtimeDir)) {
        // A display name may hold "/" (a Wayland socket's full path).
        std::string fileName = name;
        std::replace(fileName.begin(), fileName.end(), '/', '_');
        LockFile(runtimeDir + "/" + fileName + ".lock");
    } else {
        BindAbstract(name);
    }
}

TInstanceLock::~TInstanceLock()
{
    if (fd_ >= 0) ::close(fd_);
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        // Listening lets a later copy ask who holds the name.
        if (::listen(fd, MarkerBacklog) == 0) {
            fd_ = fd;
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
