#include "app/DisplayChoice.h"

#include <gtest/gtest.h>

namespace {

// Only ":0" can be opened.
bool OnlyDisplayZero(const std::string& display)
{
    return display == ":0";
}

TDisplayChoice Choose(std::string platform, std::string display, std::string wayland)
{
    return ChooseDisplay({std::move(platform), std::move(display), std::move(wayland)}, OnlyDisplayZero);
}

} // namespace

TEST(ChooseDisplayTest, XcbWheneverXOpensElseOneLineNamingXWayland)
{
    // A Wayland session with XWayland runs on X all the same.
    EXPECT_EQ(Choose("", ":0", "wayland-0").Platform, "xcb");
    EXPECT_EQ(Choose("", ":0", "").Platform, "xcb");
    // The user's own choice stands.
    const TDisplayChoice own = Choose("wayland", "", "wayland-0");
    EXPECT_TRUE(own.Platform.empty() && own.Refusal.empty());
    EXPECT_TRUE(Choose("offscreen", "", "").Refusal.empty());
    EXPECT_TRUE(Choose("xcb", ":0", "").Refusal.empty());

    // Without an X display: refused, naming XWayland, on one line.
    for (const TDisplayChoice& refused :
         {Choose("", "", "wayland-0"), Choose("", "", ""), Choose("", ":9", ""), Choose("xcb", "", "wayland-0")}) {
        EXPECT_TRUE(refused.Platform.empty());
        EXPECT_NE(refused.Refusal.find("XWayland"), std::string::npos) << refused.Refusal;
        EXPECT_EQ(refused.Refusal.find('\n'), std::string::npos);
    }
}
