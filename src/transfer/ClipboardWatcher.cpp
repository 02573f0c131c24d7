#include "transfer/ClipboardWatcher.h"

#include "transfer/WireFormat.h"

namespace {

std::shared_ptr<const std::string> EmptyText()
{
    return std::make_shared<const std::string>();
}

bool SameText(const std::shared_ptr<const std::string>& a, const std::shared_ptr<const std::string>& b)
{
    return a == b || (a != nullptr && b != nullptr && *a == *b);
}

} // namespace

ClipboardWatcher::ClipboardWatcher(TClipboard& clipboard) : clipboard_(clipboard), lastText_(EmptyText()) {}

// The change count is taken before the read: a change during the read then
// shows as a new count on the next tick, which reads again. The previous
// text is let go before the read, so that the two are never held together.
// A read that fails leaves nothing known, so the next tick reads again; a
// secret text counts as no text, so it is neither sent now nor later.
void ClipboardWatcher::Look()
{
    const std::uint64_t changes = clipboard_.ChangeCount();
    if (looked_ && changes == lookedChanges_) return;
    looked_ = false;
    lookedHoldsText_ = false;
    DropLookedText();
    Text text;
    const ClipboardRead read = clipboard_.ReadShared(text);
    if (read == ClipboardRead::Pending) return;
    ++reads_;
    if (read == ClipboardRead::Failed) return;
    looked_ = true;
    lookedChanges_ = changes;
    lookedHoldsText_ = read == ClipboardRead::Text;
    lookedText_ = lookedHoldsText_ ? std::move(text) : EmptyText();
}

void ClipboardWatcher::DropLookedText()
{
    lookedText_.reset();
    verdict_ = Verdict::Unjudged;
}

void ClipboardWatcher::Judge()
{
    if (SameText(lookedText_, lastText_)) {
        verdict_ = Verdict::IsLast;
    } else if (SameText(lookedText_, placedEcho_)) {
        verdict_ = Verdict::IsEcho;
    } else {
        verdict_ = Verdict::New;
        return;
    }
    lookedText_.reset();
}

// A verdict reached against the cleared text does not hold. When the
// verdict was "equal to LastText", LastText held the only copy of the text
// read, so the clipboard is read again.
void ClipboardWatcher::ClearLastText()
{
    lastText_ = EmptyText();
    if (verdict_ == Verdict::IsLast) {
        looked_ = false;
        lookedHoldsText_ = false;
    }
    if (verdict_ == Verdict::IsLast || verdict_ == Verdict::New) verdict_ = Verdict::Unjudged;
}

std::optional<std::string_view> ClipboardWatcher::Tick(const TransferReceiver& receiver, bool offered)
{
    if (receiver.InTransfer()) return std::nullopt;
    Look();
    if (!lookedHoldsText_) return std::nullopt;
    if (verdict_ == Verdict::Unjudged) Judge();
    if (verdict_ != Verdict::New || !offered || !FitsOneTransfer(*lookedText_)) return std::nullopt;
    lastText_ = std::move(lookedText_);
    DropLookedText();
    verdict_ = Verdict::IsLast;
    placedEcho_.reset();
    return std::string_view(*lastText_);
}

void ClipboardWatcher::PlaceReceived(std::string text)
{
    // A text ends at its first zero byte; LastText holds what is placed.
    if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
    // The clipboard still holds this very text, as last read: placing it
    // again would only take the clipboard from the program that holds it,
    // and with it the richer forms that program offers.
    if (looked_ && verdict_ == Verdict::IsLast && clipboard_.ChangeCount() == lookedChanges_ && text == *lastText_)
        return;
    // The clipboard is read afresh below in any case; letting go of the last
    // read first keeps it from adding to the peak while the text is placed.
    looked_ = false;
    DropLookedText();
    Text placed = std::make_shared<const std::string>(std::move(text));
    clipboard_.PlaceShared(placed);
    lastText_ = std::move(placed);
    // What the clipboard now reports is the received text as this desktop
    // keeps it. Should reading it back fail, the next tick reads it instead
    // and may take a changed form of it for a new text: a rare resend, better
    // than an error box about a text that was placed.
    placedEcho_.reset();
    try {
        Look();
    } catch (const Exception&) {
        return;
    }
    if (!lookedHoldsText_) return;
    Judge();
    // Kept only when it differs from the text placed; otherwise LastText
    // already says all there is to say.
    if (verdict_ == Verdict::New) {
        placedEcho_ = std::move(lookedText_);
        DropLookedText();
        verdict_ = Verdict::IsEcho;
    }
}
