// X11Connection: what the program's own X11 connections share (the
// selection owner's and the reader's): a connection to the display DISPLAY
// names that has the XFixes extension, atoms interned by name, and replies
// freed the way xcb allocates them. Any thread; each connection is used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct xcb_connection_t;

struct X11FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using X11Reply = std::unique_ptr<T, X11FreeDeleter>;

struct X11Display {
    xcb_connection_t* connection = nullptr; // null when the display or XFixes is missing
    std::uint32_t root = 0;                 // of the display's default screen
    std::uint8_t fixesEvent = 0;            // the first XFixes event code
};

// Connects and checks XFixes 1.0; the caller disconnects what it gets.
X11Display ConnectX11WithFixes();

// Interns names[i] into *atoms[i], every request sent before the first
// answer is awaited; XCB_ATOM_NONE where the server gave no answer.
void InternAtoms(xcb_connection_t* connection, const char* const names[], std::uint32_t* const atoms[],
                 std::size_t count);
