#include "app/QuitSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int QuitSignalNumbers[] = {SIGTERM, SIGHUP};

// Read by the handler; set before the handlers are installed and cleared
// after they are removed.
volatile std::sig_atomic_t g_wakeFd = -1;

void OnQuitSignal(int)
{
    const int savedErrno = errno;
    const int fd = g_wakeFd;
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up: losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void SetHandlers(void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : QuitSignalNumbers) ::sigaction(number, &action, nullptr);
}

} // namespace

TQuitSignals::TQuitSignals(EventLoop& loop, std::function<void()> onQuit)
    : loop_(loop), onQuit_(std::move(onQuit))
{
    int fds[2];
    // Without the pipe the signals keep their default action (ending the
    // process), which still frees the single-instance marker.
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    writeFd_ = fds[1];
    watch_ = loop_.Watch(readFd_, Readiness::Read, [this] { Drain(); });
    g_wakeFd = writeFd_;
    SetHandlers(OnQuitSignal);
}

TQuitSignals::~TQuitSignals()
{
    if (readFd_ < 0) return;
    SetHandlers(SIG_DFL);
    g_wakeFd = -1;
    loop_.Unwatch(watch_);
    ::close(readFd_);
    ::close(writeFd_);
}

void TQuitSignals::Drain()
{
    char buffer[64];
    while (::read(readFd_, buffer, sizeof buffer) > 0) {
    }
    if (onQuit_) onQuit_();
}
