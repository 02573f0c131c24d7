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
// change count stands still, unless the last read failed. A text read is judged once, not on every tick:
// the verdict stands until the clipboard changes or LastText does, so a large
// text costs nothing while it sits there, and a text seen while there was no
// one to send it to still goes out once there is. The window owns LastText
// and passes it in; it changes it only through this watcher, apart from
// clearing it, and any change of its length or storage is noticed (see
// TextStamp). A text found equal to LastText or to the placed echo is not
// kept twice: the watcher drops its own copy, and reads the clipboard again
// should LastText change after all. Called from the window's handlers on the
// event loop's thread.
#pragma once

#include "Clipbrd.h"
#include "TransferReceiver.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class ClipboardWatcher {
public:
    explicit ClipboardWatcher(TClipboard& clipboard = SharedClipboard());

    // One tick. `offered`: the text would reach a connection now (server mode
    // with a peer, or client mode, connected or not). Returns the text to send
    // on every such connection, having moved it into `lastText` (the view is
    // of `lastText` and lasts as long as it is left alone); returns nothing,
    // and leaves `lastText` alone, when there is nothing to send: also when
    // the clipboard's owner failed to hand its text over (the next tick reads
    // again) or marks it as secret (never sent). Throws
    // ClipboardUnavailableError when the clipboard cannot be reached; the
    // next tick tries again.
    std::optional<std::string_view> Tick(std::string& lastText, const TransferReceiver& receiver, bool offered);

    // Puts a received text, up to its first zero byte, on the clipboard and
    // moves it into `lastText`.
    // Throws ClipboardUnavailableError, leaving `lastText` as it was.
    void PlaceReceived(std::string text, std::string& lastText);

    // How many times the clipboard's text was read (each read may wait on
    // its owner).
    std::uint64_t Reads() const { return reads_; }

private:
    // What is known of the text last read.
    enum class Verdict {
        Unjudged, // in lookedText_, not yet compared
        New,      // in lookedText_, differs from LastText (as stamped) and from the echo
        IsLast,   // equal to LastText as stamped; only LastText holds it
        IsEcho,   // equal to placedEcho_; only placedEcho_ holds it
    };

    // Enough of a string to tell that it changed: its storage, its length and
    // a sample of its bytes at both ends. Cheap whatever the length.
    struct TextStamp {
        const char* data = nullptr;
        std::size_t size = 0;
        std::size_t capacity = 0;
        std::uint64_t ends = 0;
        static TextStamp Of(const std::string& text);
        bool operator==(const TextStamp&) const = default;
    };

    void Look();
    void Judge(const std::string& lastText);
    void DropLookedText();

    TClipboard& clipboard_;
    bool looked_ = false;
    std::uint64_t lookedChanges_ = 0;
    bool lookedHoldsText_ = false;
    std::string lookedText_;
    Verdict verdict_ = Verdict::Unjudged;
    TextStamp lastStamp_; // of LastText when the verdict was reached
    std::optional<std::string> placedEcho_;
    std::uint64_t reads_ = 0;
};
