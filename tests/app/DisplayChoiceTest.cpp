#include "app/DisplayChoice.h"

#include <gtest/gtest.h>

namespace {

// Only ":0" can be opened.
bool OnlyDisplayZero(const std::string& display)
{
    return display == ":0";
}

struct Case {
    const char* platform;
    const char* display;
    const char* wayland;
    bool dataControl; // what the compositor offers
    const char* chosenPlatform;
    bool refused;
    ClipboardPath clipboard;
};

constexpr auto Toolkit = ClipboardPath::Toolkit;
constexpr auto DataControl = ClipboardPath::DataControl;

} // namespace

TEST(ChooseDisplayTest, PluginAndClipboardForEachSession)
{
    const Case cases[] = {
        // X reachable: the window stays on xcb; data-control, where the
        // compositor offers it, watches the clipboard.
        {"", ":0", "wayland-0", false, "xcb", false, Toolkit},
        {"", ":0", "wayland-0", true, "xcb", false, DataControl},
        {"", ":0", "", true, "xcb", false, Toolkit},
        // No X display: Qt's Wayland plugin where data-control can watch,
        // else one line naming XWayland.
        {"", "", "wayland-0", true, "wayland", false, DataControl},
        {"", ":9", "wayland-0", true, "wayland", false, DataControl},
        {"", "", "wayland-0", false, "", true, Toolkit},
        {"", "", "", true, "", true, Toolkit},
        {"", ":9", "", false, "", true, Toolkit},
        // The user's own plugin stands; xcb without X is refused all the same.
        {"wayland", "", "wayland-0", false, "", false, Toolkit},
        {"wayland", "", "wayland-0", true, "", false, DataControl},
        {"offscreen", "", "", false, "", false, Toolkit},
        {"xcb", ":0", "", false, "", false, Toolkit},
        {"xcb", "", "wayland-0", true, "", true, Toolkit},
    };
    for (const Case& c : cases) {
        int asked = 0;
        const TDisplayChoice choice =
            ChooseDisplay({c.platform, c.display, c.wayland}, OnlyDisplayZero, [&] { return ++asked, c.dataControl; });
        SCOPED_TRACE(std::string(c.platform) + "|" + c.display + "|" + c.wayland + "|" + std::to_string(c.dataControl));
        EXPECT_EQ(choice.Platform, c.chosenPlatform);
        EXPECT_EQ(choice.Clipboard, c.clipboard);
        // The compositor is asked only in a Wayland session.
        EXPECT_EQ(asked, *c.wayland ? 1 : 0);
        EXPECT_EQ(!choice.Refusal.empty(), c.refused);
        if (c.refused) {
            EXPECT_NE(choice.Refusal.find("XWayland"), std::string::npos) << choice.Refusal;
            EXPECT_EQ(choice.Refusal.find('\n'), std::string::npos);
        }
    }
}
