#include "ClipboardWatcher.h"

#include "WireFormat.h"

#include <algorithm>

namespace {

// Bytes sampled at each end of LastText for its stamp.
constexpr std::size_t StampEndBytes = 64;

} // namespace

ClipboardWatcher::TextStamp ClipboardWatcher::TextStamp::Of(const std::string& text)
{
    TextStamp stamp;
    stamp.data = text.data();
    stamp.size = text.size();
    stamp.capacity = text.capacity();
    const std::size_t sampled = std::min(text.size(), StampEndBytes);
    // FNV-1a over the first and the last bytes.
    std::uint64_t hash = 14695981039346656037ULL;
    const auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ULL; };
    for (std::size_t i = 0; i < sampled; ++i) mix(static_cast<unsigned char>(text[i]));
    for (std::size_t i = text.size() - sampled; i < text.size(); ++i) mix(static_cast<unsigned char>(text[i]));
    stamp.ends = hash;
    return stamp;
}

ClipboardWatcher::ClipboardWatcher(TClipboard& clipboard) : clipboard_(clipboard) {}

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
    ++reads_;
    std::string text;
    const ClipboardRead read = clipboard_.Read(text);
    if (read == ClipboardRead::Failed) return;
    looked_ = true;
    lookedChanges_ = changes;
    lookedHoldsText_ = read == ClipboardRead::Text;
    lookedText_ = std::move(text);
}

void ClipboardWatcher::DropLookedText()
{
    std::string().swap(lookedText_);
    verdict_ = Verdict::Unjudged;
}

void ClipboardWatcher::Judge(const std::string& lastText)
{
    lastStamp_ = TextStamp::Of(lastText);
    if (lookedText_ == lastText) {
        verdict_ = Verdict::IsLast;
    } else if (placedEcho_ && lookedText_ == *placedEcho_) {
        verdict_ = Verdict::IsEcho;
    } else {
        verdict_ = Verdict::New;
        return;
    }
    std::string().swap(lookedText_);
}

std::optional<std::string_view> ClipboardWatcher::Tick(std::string& lastText, const TransferReceiver& receiver,
                                                       bool offered)
{
    if (receiver.InTransfer()) return std::nullopt;
    Look();
    if (!lookedHoldsText_) return std::nullopt;
    if (verdict_ == Verdict::IsLast || verdict_ == Verdict::New) {
        if (TextStamp::Of(lastText) != lastStamp_) {
            // LastText changed behind the verdict. The text it held was the
            // only copy of the one read, so that one is read again.
            if (verdict_ == Verdict::IsLast) {
                looked_ = false;
                Look();
                if (!lookedHoldsText_) return std::nullopt;
            }
            verdict_ = Verdict::Unjudged;
        }
    }
    if (verdict_ == Verdict::Unjudged) Judge(lastText);
    if (verdict_ != Verdict::New || !offered || !FitsOneTransfer(lookedText_)) return std::nullopt;
    lastText = std::move(lookedText_);
    DropLookedText(); // and with it the previous LastText, which the move left there
    verdict_ = Verdict::IsLast;
    lastStamp_ = TextStamp::Of(lastText);
    placedEcho_.reset();
    return std::string_view(lastText);
}

void ClipboardWatcher::PlaceReceived(std::string text, std::string& lastText)
{
    // A text ends at its first zero byte; LastText holds what is placed.
    if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
    // The clipboard is read afresh below in any case; letting go of the last
    // read first keeps it from adding to the peak while the text is placed.
    looked_ = false;
    DropLookedText();
    clipboard_.PlaceText(text);
    // Swapped and dropped: a move would leave the previous LastText in
    // `text` until the end of this call, beside the new one and the read-back.
    lastText.swap(text);
    std::string().swap(text);
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
    Judge(lastText);
    // Kept only when it differs from the text placed; otherwise LastText
    // already says all there is to say.
    if (verdict_ == Verdict::New) {
        placedEcho_ = std::move(lookedText_);
        DropLookedText();
        verdict_ = Verdict::IsEcho;
    }
}
