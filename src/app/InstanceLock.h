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
#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

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
    void KeepUntilExit() { fd_ = -1; }

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

    int fd_ = -1;
    State state_ = State::Unavailable;
};
