#include "InstanceLock.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

TInstanceLock::TInstanceLock(const std::string& name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Leading zero byte: the abstract namespace. Over-long names are cut,
    // which keeps the outcome the same for every copy using the same name.
    const std::size_t room = sizeof(address.sun_path) - 1;
    const std::size_t length = name.size() < room ? name.size() : room;
    std::memcpy(address.sun_path + 1, name.data(), length);
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

    // Close-on-exec: a program this one starts must not keep the name alive.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return; // Unavailable: the program runs without the marker
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0) {
        fd_ = fd;
        state_ = State::Acquired;
        return;
    }
    state_ = errno == EADDRINUSE ? State::HeldByAnother : State::Unavailable;
    ::close(fd);
}

TInstanceLock::~TInstanceLock()
{
    if (fd_ >= 0) ::close(fd_);
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
    if (!display || !*display) display = std::getenv("WAYLAND_DISPLAY");
    return MarkerName(::getuid(), display ? display : "");
}
