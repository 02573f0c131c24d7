// PipeReading and PipeWriting: a clipboard content carried through a pipe on
// the event loop, the way Wayland programs hand each other the selection.
//
// Neither ever blocks the loop: each pass moves at most PassBytes, and the
// next pass comes when the pipe is ready again. A pipe on which nothing moves
// for StallTimeoutMs ends the transfer (a reader fails; a writer gives up), so
// a program that never writes, or never reads, holds nothing up for good.
// Each owns its descriptor and closes it when done or destroyed. `done` is
// called once, from the loop, unless the object is destroyed first; the owner
// may destroy the object inside `done`.
#pragma once

#include "base/EventLoop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class PipeTransfer {
public:
    static constexpr std::int64_t StallTimeoutMs = 4000;
    static constexpr std::size_t PassBytes = 1024 * 1024;

    PipeTransfer(const PipeTransfer&) = delete;
    PipeTransfer& operator=(const PipeTransfer&) = delete;

protected:
    PipeTransfer(EventLoop& loop, int fd, Readiness kind);
    ~PipeTransfer();

    // Stops watching and closes the pipe; idempotent.
    void Close();
    void NoteProgress();
    virtual void Ready() = 0;
    virtual void Stalled() = 0;

    EventLoop& loop_;
    int fd_;

private:
    WatchId watch_ = 0;
    TimerId stallTimer_ = 0;
    std::int64_t lastProgressMs_ = 0;
};

class PipeReading final : public PipeTransfer {
public:
    // Done: the writer closed its end (or `limitBytes` were read: the text
    // is cut there). Failed: the pipe failed or stalled.
    enum class Outcome { Done, Failed };
    using Done = std::function<void(Outcome, std::string)>;

    // Takes the non-blocking read end `fd`.
    PipeReading(EventLoop& loop, int fd, std::size_t limitBytes, Done done);
    ~PipeReading() { Close(); }

private:
    void Ready() override;
    void Stalled() override { Finish(Outcome::Failed); }
    void Finish(Outcome outcome);

    std::size_t limitBytes_;
    Done done_;
    std::string data_;
};

class PipeWriting final : public PipeTransfer {
public:
    // Takes the write end `fd`; `done` also after a reader went away.
    PipeWriting(EventLoop& loop, int fd, std::shared_ptr<const std::string> bytes, std::function<void()> done);
    ~PipeWriting() { Close(); }

private:
    void Ready() override;
    void Stalled() override { Finish(); }
    void Finish();

    std::shared_ptr<const std::string> bytes_;
    std::size_t written_ = 0;
    std::function<void()> done_;
};
