#include "app/DisplayChoice.h"

#include "app/DataControlDevice.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>

namespace {

constexpr const char* XcbPlatform = "xcb";
constexpr const char* WaylandPlatform = "wayland";

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// "xcb" alone or with its options ("xcb:..."); a fallback list counts only
// when it starts with xcb.
bool NamesXcb(std::string_view platform)
{
    return platform == XcbPlatform || platform.starts_with("xcb:") || platform.starts_with("xcb;");
}

std::string RefusalFor(const TDisplayEnvironment& environment)
{
    if (!environment.Display.empty()) {
        return "tessaro: cannot open the X display \"" + environment.Display +
               "\": Tessaro II needs an X11 desktop, or a Wayland session with XWayland";
    }
    if (!environment.WaylandDisplay.empty()) {
        return "tessaro: this Wayland session has no X display (DISPLAY is not set): Tessaro II runs through "
               "XWayland, as a native Wayland client cannot watch the clipboard; enable XWayland and start it again";
    }
    return "tessaro: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): Tessaro II needs an X11 desktop, "
           "or a Wayland session with XWayland";
}

} // namespace

TDisplayChoice ChooseDisplay(const TDisplayEnvironment& environment,
                             const std::function<bool(const std::string&)>& canOpenX,
                             const std::function<bool()>& offersDataControl)
{
    const ClipboardPath clipboard = !environment.WaylandDisplay.empty() && offersDataControl()
                                        ? ClipboardPath::DataControl
                                        : ClipboardPath::Toolkit;
    const bool userChose = !environment.QpaPlatform.empty();
    // A plugin the user named is theirs to answer for, except that xcb
    // without an X display fails the same way as our own choice would.
    if (userChose && !NamesXcb(environment.QpaPlatform)) return {"", "", clipboard};
    if (canOpenX(environment.Display)) return {userChose ? "" : XcbPlatform, "", clipboard};
    if (clipboard == ClipboardPath::DataControl && !userChose) return {WaylandPlatform, "", clipboard};
    return {"", RefusalFor(environment)};
}

TDisplayProbe::TDisplayProbe()
{
    const TDisplayEnvironment environment{Variable("QT_QPA_PLATFORM"), Variable("DISPLAY"),
                                          Variable("WAYLAND_DISPLAY")};
    const auto canOpenX = [this](const std::string& display) {
        Release();
        if (display.empty()) return false;
        connection_ = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(connection_) == 0) return true;
        Release();
        return false;
    };
    const TDisplayChoice choice = ChooseDisplay(environment, canOpenX, DataControlDevice::Offered);
    refusal_ = choice.Refusal;
    clipboard_ = choice.Clipboard;
    if (!choice.Platform.empty()) ::setenv("QT_QPA_PLATFORM", choice.Platform.c_str(), 1);
}

void TDisplayProbe::Release()
{
    // A connection that failed is an error object that must be freed too.
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
}
