#include "app/ClipboardPipes.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

// How often a transfer looks whether it stalled.
constexpr int StallCheckMs = 500;
// One read's room; the text grows by it as the bytes come.
constexpr std::size_t ReadChunkBytes = 64 * 1024;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A write to a pipe whose reader has gone raises SIGPIPE, which would end
// the program: it is held back for this thread during the write and, when
// the write raised it, taken off again, so that only EPIPE is seen.
ssize_t WriteWithoutSigpipe(int fd, const char* bytes, std::size_t size)
{
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const ssize_t written = ::write(fd, bytes, size);
    const int error = errno;
    if (written < 0 && error == EPIPE) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

} // namespace

PipeTransfer::PipeTransfer(EventLoop& loop, int fd, Readiness kind) : loop_(loop), fd_(fd)
{
    lastProgressMs_ = NowMs();
    watch_ = loop_.Watch(fd_, kind, [this] { Ready(); });
    stallTimer_ = loop_.StartTimer(StallCheckMs, [this] {
        if (NowMs() - lastProgressMs_ >= StallTimeoutMs) Stalled();
    });
}

PipeTransfer::~PipeTransfer()
{
    Close();
}

void PipeTransfer::Close()
{
    if (fd_ < 0) return;
    loop_.Unwatch(watch_);
    loop_.StopTimer(stallTimer_);
    ::close(fd_);
    fd_ = -1;
}

void PipeTransfer::NoteProgress()
{
    lastProgressMs_ = NowMs();
}

PipeReading::PipeReading(EventLoop& loop, int fd, std::size_t limitBytes, Done done)
    : PipeTransfer(loop, fd, Readiness::Read), limitBytes_(limitBytes), done_(std::move(done))
{
}

void PipeReading::Ready()
{
    std::size_t passed = 0;
    while (passed < PassBytes) {
        const std::size_t used = data_.size();
        const std::size_t room = std::min(ReadChunkBytes, limitBytes_ - used);
        data_.resize(used + room);
        const ssize_t got = ::read(fd_, data_.data() + used, room);
        data_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got > 0) {
            passed += static_cast<std::size_t>(got);
            NoteProgress();
            if (data_.size() >= limitBytes_) return Finish(Outcome::Done);
            continue;
        }
        if (got == 0) return Finish(Outcome::Done);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        return Finish(Outcome::Failed);
    }
}

void PipeReading::Finish(Outcome outcome)
{
    Close();
    // The owner may destroy this object in `done`: nothing here is touched
    // after the call.
    Done done = std::move(done_);
    std::string data = std::move(data_);
    if (outcome == Outcome::Failed) std::string().swap(data);
    done(outcome, std::move(data));
}

PipeWriting::PipeWriting(EventLoop& loop, int fd, std::shared_ptr<const std::string> bytes,
                         std::function<void()> done)
    : PipeTransfer(loop, fd, Readiness::Write), bytes_(std::move(bytes)), done_(std::move(done))
{
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void PipeWriting::Ready()
{
    std::size_t passed = 0;
    while (passed < PassBytes && written_ < bytes_->size()) {
        const std::size_t size = std::min(PassBytes - passed, bytes_->size() - written_);
        const ssize_t wrote = WriteWithoutSigpipe(fd_, bytes_->data() + written_, size);
        if (wrote > 0) {
            written_ += static_cast<std::size_t>(wrote);
            passed += static_cast<std::size_t>(wrote);
            NoteProgress();
            continue;
        }
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        return Finish(); // the reader went away
    }
    if (written_ == bytes_->size()) Finish();
}

void PipeWriting::Finish()
{
    Close();
    std::function<void()> done = std::move(done_);
    bytes_.reset();
    done();
}
