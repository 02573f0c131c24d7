// TInstanceLock: the marker that lets only one copy of the program run per
// desktop session.
//
// The name joins "tessaro2", the user id and the display, so another user or
// another display is another session. Where the user has a private runtime
// folder ($XDG_RUNTIME_DIR: owned by the user, writable by no one else) the
// marker is a file there held with flock: only the user can make it, and
// the lock goes when the process ends however it ends (SIGKILL included).
// Elsewhere it is a listening Unix socket bound to the name in the abstract
// namespace, which also vanishes with its process; since any local process
// may bind such a name, a holder counts only when its credentials
// (SO_PEERCRED) show this user. Made by the entry before any window exists.
//
// The holder also listens for show requests: a later copy, refused, sends
// one byte (ShowRequest) over a Unix socket (the abstract marker itself, or
// a socket file beside the lock file) and the holder, on its loop, brings
// its window forward (TShowRequests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

class EventLoop;

class TInstanceLock {
public:
    enum class State {
        Acquired,       // this process holds the marker
        HeldByAnother,  // another copy of this user runs in this session
        Unavailable,    // the marker could not be had; run without it
    };

    // Takes the marker now; see State() for the outcome. An empty
    // `runtimeDir`, or one that is not private to the user, means the
    // abstract socket.
    explicit TInstanceLock(const std::string& name, const std::string& runtimeDir = {});
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    State GetState() const { return state_; }

    // Gives the marker to the process rather than to this object: destroying
    // the object leaves it held until the process is gone (a copy started
    // while this one winds down must still see it).
    void KeepUntilExit() { keptForProcess_ = true; }

    // The listening socket that show requests reach while this object holds
    // the marker; -1 when there is none (the program then runs without).
    int RequestFd() const { return requestFd_; }

    // Asks the copy holding the marker `name` (with `runtimeDir` as it was
    // taken) to bring its window forward. False when no process of this
    // user took the request.
    static bool AskToShow(const std::string& name, const std::string& runtimeDir = {});

    // "tessaro2", the user id and the display name joined. The screen number
    // of an X display (":0.1") is dropped: screens share one session.
    static std::string MarkerName(uid_t uid, std::string_view display);
    // The marker name of this process's session, from DISPLAY or, without
    // it, the Wayland display's socket (WAYLAND_DISPLAY in the runtime
    // folder).
    static std::string SessionMarkerName();
    // $XDG_RUNTIME_DIR, empty when unset.
    static std::string SessionRuntimeDir();

private:
    void LockFile(const std::string& path);
    void BindAbstract(const std::string& name);
    void ListenForRequests(const std::string& path);

    int fd_ = -1;
    int requestFd_ = -1; // fd_ itself for the abstract socket
    std::string requestPath_;
    bool keptForProcess_ = false;
    State state_ = State::Unavailable;
};

// The holder's side of the show requests, on the loop: each ShowRequest
// byte from a process of this user calls `onShow` (under the loop's guard).
// A connection waits for its byte until MaxWaitingRequests newer ones have
// come. Destroy it before the loop.
class TShowRequests {
public:
    static constexpr char ShowRequest = 'S';
    static constexpr std::size_t MaxWaitingRequests = 4;

    // Nothing is served for a `requestFd` of -1.
    TShowRequests(EventLoop& loop, int requestFd, std::function<void()> onShow);
    ~TShowRequests();
    TShowRequests(const TShowRequests&) = delete;
    TShowRequests& operator=(const TShowRequests&) = delete;

private:
    struct Waiting {
        int fd;
        std::uint64_t watch;
    };
    void Accept();
    void Read(int fd);
    void Drop(std::size_t index);

    EventLoop& loop_;
    int requestFd_;
    std::uint64_t acceptWatch_ = 0;
    std::vector<Waiting> waiting_;
    std::function<void()> onShow_;
};
