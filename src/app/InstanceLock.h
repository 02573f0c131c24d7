// TInstanceLock: the marker that lets only one copy of the program run per
// desktop session.
//
// The marker is a Unix socket bound to a name in the abstract namespace. Such a
// name needs no file, exists exactly as long as some process holds the socket
// open, and vanishes when that process ends however it ends (SIGKILL
// included), which is the property the rule needs. The name joins "tessaro2",
// the user id and the display, so another user or another display is another
// session. Made by the entry before any window exists.
#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

class TInstanceLock {
public:
    enum class State {
        Acquired,       // this process holds the name
        HeldByAnother,  // the name exists: another copy runs in this session
        Unavailable,    // the marker could not be made; run without it
    };

    // Binds the name now; see State() for the outcome.
    explicit TInstanceLock(const std::string& name);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    State GetState() const { return state_; }

    // Gives the name to the process rather than to this object: destroying
    // the object no longer removes it, so it lasts until the process is gone
    // (a copy started while this one winds down must still see it).
    void KeepUntilExit() { fd_ = -1; }

    // "tessaro2", the user id and the display name joined. The screen number
    // of an X display (":0.1") is dropped: screens share one session.
    static std::string MarkerName(uid_t uid, std::string_view display);
    // The marker name of this process's session, from DISPLAY or, without
    // it, WAYLAND_DISPLAY.
    static std::string SessionMarkerName();

private:
    int fd_ = -1;
    State state_ = State::Unavailable;
};
