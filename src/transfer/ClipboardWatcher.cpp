#include "ClipboardWatcher.h"

#include "WireFormat.h"

ClipboardWatcher::ClipboardWatcher(TClipboard& clipboard) : clipboard_(clipboard) {}

// The change count is taken before the read: a change during the read then
// shows as a new count on the next tick, which reads again.
void ClipboardWatcher::Look()
{
    const std::uint64_t changes = clipboard_.ChangeCount();
    if (looked_ && changes == lookedChanges_) return;
    const bool holdsText = clipboard_.HoldsText();
    std::string text = holdsText ? clipboard_.FetchText() : std::string();
    looked_ = true;
    lookedChanges_ = changes;
    lookedHoldsText_ = holdsText;
    lookedText_ = std::move(text);
}

std::optional<std::string> ClipboardWatcher::Tick(std::string& lastText, const TransferReceiver& receiver,
                                                  bool offered)
{
    if (receiver.InTransfer()) return std::nullopt;
    Look();
    if (!lookedHoldsText_ || lookedText_ == lastText) return std::nullopt;
    if (placedEcho_ && lookedText_ == *placedEcho_) return std::nullopt;
    if (!offered || !FitsOneTransfer(lookedText_)) return std::nullopt;
    lastText = lookedText_;
    placedEcho_.reset();
    return lookedText_;
}

void ClipboardWatcher::PlaceReceived(std::string text, std::string& lastText)
{
    clipboard_.PlaceText(text);
    lastText = std::move(text);
    // What the clipboard now reports is the received text as this desktop
    // keeps it. Should reading it back fail, the next tick reads it instead
    // and may take a changed form of it for a new text: a rare resend, better
    // than an error box about a text that was placed.
    looked_ = false;
    placedEcho_.reset();
    try {
        Look();
    } catch (const Exception&) {
        return;
    }
    if (lookedHoldsText_) placedEcho_ = lookedText_;
}
