// Which of Qt's platform plugins the program runs on, and which clipboard it
// watches, decided by the entry before the Qt application exists.
//
// The program watches the clipboard from the background. In a Wayland
// session whose compositor offers a data-control protocol, that protocol
// does it (WaylandClipboardBackend), whatever plugin the window uses: such
// compositors hand the selection to X clients only while an X window has
// focus. Elsewhere the X11 clipboard does, in a Wayland session through
// XWayland, which those compositors bridge.
//
// The window uses Qt's xcb plugin whenever an X display can be opened, else
// its Wayland plugin where data-control watches the clipboard, unless the
// user named a plugin in QT_QPA_PLATFORM. Otherwise the program does not
// start: it says why on one line and exits with ExitNoDisplay, before
// anything is shown or written.
#pragma once

#include <functional>
#include <string>

inline constexpr int ExitNoDisplay = 2;

struct TDisplayEnvironment {
    std::string QpaPlatform;    // QT_QPA_PLATFORM; empty when unset
    std::string Display;        // DISPLAY
    std::string WaylandDisplay; // WAYLAND_DISPLAY
};

enum class ClipboardPath {
    Toolkit,     // the X11 clipboard, through Qt and the program's own reader
    DataControl, // the compositor's, through a data-control protocol
};

struct TDisplayChoice {
    // The plugin to name in QT_QPA_PLATFORM; empty to leave it as it is.
    std::string Platform;
    // When not empty, the program must not start: the line to print.
    std::string Refusal;
    ClipboardPath Clipboard = ClipboardPath::Toolkit;
};

// Pure decision; `canOpenX` tells whether a display name can be opened,
// `offersDataControl` whether the Wayland compositor offers data-control
// (asked only where WAYLAND_DISPLAY is set).
TDisplayChoice ChooseDisplay(const TDisplayEnvironment& environment,
                             const std::function<bool(const std::string&)>& canOpenX,
                             const std::function<bool()>& offersDataControl);

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
    ClipboardPath Clipboard() const { return clipboard_; }
    // Call once Qt holds its own connection.
    void Release();

private:
    xcb_connection_t* connection_ = nullptr;
    std::string refusal_;
    ClipboardPath clipboard_ = ClipboardPath::Toolkit;
};
