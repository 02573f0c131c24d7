// ClipboardWatcher: decides, on each tick of the window's watcher timer,
// whether the local clipboard holds a text to send to the peer, and puts the
// peer's texts on the clipboard.
//
// A text is sent when the clipboard holds text that differs from the last
// text sent or received (LastText, which the watcher owns) and from what the
// clipboard reported right after the last received text was placed (a
// desktop, or a change of encoding, may not give back the bytes it was given;
// that changed text is the received one all the same and is never sent back).
// Nothing is sent while a transfer is coming in, and no text longer than one
// transfer can carry is sent.
//
// The clipboard is read at most once per tick, and not at all while its
// change count stands still, unless the last read failed. A text read is
// judged once, not on every tick: the verdict stands until the clipboard
// changes or LastText does, so a large text costs nothing while it sits
// there, and a text seen while there was no one to send it to still goes out
// once there is. LastText changes only through this watcher: a text sent, a
// text received, or ClearLastText. A text found equal to LastText or to the
// placed echo is not kept twice: the watcher drops its own copy, and reads
// the clipboard again should LastText be cleared. Texts are held shared with
// the clipboard where it allows: a received text is placed, kept as LastText
// and read back as one copy of its bytes. A read the clipboard does in the
// background (Pending) is not a read yet: the watcher looks again when the
// clipboard reports it has ended. Called from the window's handlers on the
// event loop's thread.
#pragma once

#include "transfer/Clipbrd.h"
#include "transfer/TransferReceiver.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class ClipboardWatcher {
public:
    explicit ClipboardWatcher(TClipboard& clipboard = SharedClipboard());

    // One tick. `offered`: the text would reach a connection now (server mode
    // with a peer, or client mode, connected or not). Returns the text to send
    // on every such connection, having moved it into LastText (the view is
    // of LastText and lasts until LastText next changes); returns nothing,
    // and leaves LastText alone, when there is nothing to send: also when
    // the clipboard's owner failed to hand its text over (the next tick reads
    // again) or marks it as secret (never sent). Throws
    // ClipboardUnavailableError when the clipboard cannot be reached; the
    // next tick tries again.
    std::optional<std::string_view> Tick(const TransferReceiver& receiver, bool offered);

    // Puts a received text, up to its first zero byte, on the clipboard and
    // moves it into LastText; a text the clipboard still holds as LastText
    // (a relay sending a peer's own text back) leaves the clipboard alone.
    // Throws ClipboardUnavailableError, leaving LastText as it was.
    void PlaceReceived(std::string text);

    // The last whole text sent or received; shared, never changed in place,
    // so that the connections sending it hold the one copy.
    const std::string& LastText() const { return *lastText_; }
    std::shared_ptr<const std::string> SharedLastText() const { return lastText_; }

    // Forgets LastText: the clipboard's text counts as new again.
    void ClearLastText();

    // How many times the clipboard's text was read (each read may wait on
    // its owner).
    std::uint64_t Reads() const { return reads_; }

private:
    // What is known of the text last read.
    enum class Verdict {
        Unjudged, // in lookedText_, not yet compared
        New,      // in lookedText_, differs from LastText and from the echo
        IsLast,   // equal to LastText; only LastText holds it
        IsEcho,   // equal to placedEcho_; only placedEcho_ holds it
    };

    void Look();
    void Judge();
    void DropLookedText();

    using Text = std::shared_ptr<const std::string>;

    TClipboard& clipboard_;
    Text lastText_; // never null
    bool looked_ = false;
    std::uint64_t lookedChanges_ = 0;
    bool lookedHoldsText_ = false;
    Text lookedText_;
    Verdict verdict_ = Verdict::Unjudged;
    Text placedEcho_;
    std::uint64_t reads_ = 0;
};
