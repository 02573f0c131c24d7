#include "app/X11Connection.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstring>
#include <vector>

X11Display ConnectX11WithFixes()
{
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return {};
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    X11Reply<xcb_xfixes_query_version_reply_t> version(
        fixes != nullptr && fixes->present
            ? xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 1, 0), nullptr)
            : nullptr);
    if (screens.rem == 0 || !version) {
        xcb_disconnect(connection);
        return {};
    }
    return {connection, screens.data->root, fixes->first_event};
}

void InternAtoms(xcb_connection_t* connection, const char* const names[], std::uint32_t* const atoms[],
                 std::size_t count)
{
    std::vector<xcb_intern_atom_cookie_t> cookies(count);
    for (std::size_t i = 0; i < count; ++i)
        cookies[i] = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    for (std::size_t i = 0; i < count; ++i) {
        X11Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookies[i], nullptr));
        *atoms[i] = reply ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
    }
}
