// Which of Qt's platform plugins the program runs on, decided by the entry
// before the Qt application exists.
//
// The program watches the clipboard from the background, which a native
// Wayland client may not do: it runs on X11, in a Wayland session through
// XWayland. So Qt's xcb plugin is used whenever an X display can be opened,
// unless the user named a plugin in QT_QPA_PLATFORM. Without an X display
// the program does not start: it says why on one line and exits with
// ExitNoDisplay, before anything is shown or written.
#pragma once

#include <functional>
#include <string>

inline constexpr int ExitNoDisplay = 2;

struct TDisplayEnvironment {
    std::string QpaPlatform;    // QT_QPA_PLATFORM; empty when unset
    std::string Display;        // DISPLAY
    std::string WaylandDisplay; // WAYLAND_DISPLAY
};

struct TDisplayChoice {
    // The plugin to name in QT_QPA_PLATFORM; empty to leave it as it is.
    std::string Platform;
    // When not empty, the program must not start: the line to print.
    std::string Refusal;
};

// Pure decision; `canOpenX` tells whether a display name can be opened.
TDisplayChoice ChooseDisplay(const TDisplayEnvironment& environment,
                             const std::function<bool(const std::string&)>& canOpenX);

struct xcb_connection_t;

// Decides for this process (its environment, a real connection attempt) and
// sets QT_QPA_PLATFORM when the choice names a plugin. The connection that
// showed the X display opens stays open until Release: an X server that
// resets when its last client leaves (Xvfb, say) would otherwise reset before
// Qt connects, refuse Qt meanwhile and forget its resources (Xft.dpi).
class TDisplayProbe {
public:
    TDisplayProbe();
    ~TDisplayProbe() { Release(); }
    TDisplayProbe(const TDisplayProbe&) = delete;
    TDisplayProbe& operator=(const TDisplayProbe&) = delete;

    // When not empty, the program must not start: the line to print.
    const std::string& Refusal() const { return refusal_; }
    // Call once Qt holds its own connection.
    void Release();

private:
    xcb_connection_t* connection_ = nullptr;
    std::string refusal_;
};
