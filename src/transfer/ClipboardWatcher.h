// ClipboardWatcher: decides, on each tick of the window's watcher timer,
// whether the local clipboard holds a text to send to the peer, and puts the
// peer's texts on the clipboard.
//
// A text is sent when the clipboard holds text that differs from the last
// text sent or received (the window's LastText) and from what the clipboard
// reported right after the last received text was placed (a desktop, or a
// change of encoding, may not give back the bytes it was given; that
// changed text is the received one all the same and is never sent back).
// Nothing is sent while a transfer is coming in, and no text longer than one
// transfer can carry is sent.
//
// The clipboard is read at most once per tick, and not at all while its
// change count stands still: the last text read is kept and judged afresh,
// so a text seen while there was no one to send it to goes out once there
// is. The window owns LastText and passes it in; the watcher keeps only
// what it read. Called from the window's handlers on the event loop's thread.
#pragma once

#include "Clipbrd.h"
#include "TransferReceiver.h"

#include <cstdint>
#include <optional>
#include <string>

class ClipboardWatcher {
public:
    explicit ClipboardWatcher(TClipboard& clipboard = SharedClipboard());

    // One tick. `offered`: the text would reach a connection now (server mode
    // with a peer, or client mode, connected or not). Returns the text to send
    // on every such connection, having stored it in `lastText`; returns
    // nothing, and leaves `lastText` alone, when there is nothing to send.
    // Throws ClipboardUnavailableError when the clipboard cannot be read; the
    // next tick tries again.
    std::optional<std::string> Tick(std::string& lastText, const TransferReceiver& receiver, bool offered);

    // Puts a received text on the clipboard and records it as `lastText`.
    // Throws ClipboardUnavailableError, leaving `lastText` as it was.
    void PlaceReceived(std::string text, std::string& lastText);

private:
    void Look();

    TClipboard& clipboard_;
    bool looked_ = false;
    std::uint64_t lookedChanges_ = 0;
    bool lookedHoldsText_ = false;
    std::string lookedText_;
    std::optional<std::string> placedEcho_;
};
