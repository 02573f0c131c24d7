#include "app/X11Clipboard.h"

#include <algorithm>
#include <chrono>

namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

X11Clipboard::X11Clipboard(std::function<void()> onChange)
    : onChange_(std::move(onChange)), reads_(this, [this](X11ReadThread::Result result) { Finished(std::move(result)); })
{
    owner_.SetOnChange([this] {
        result_.reset();
        if (onChange_) onChange_();
    });
}

// The read thread goes first (a member declared after the owner); no
// result reaches this object after that.
X11Clipboard::~X11Clipboard() = default;

bool X11Clipboard::HoldsText() const
{
    return owner_.Owned() != nullptr || heldText_;
}

ClipboardRead X11Clipboard::FetchText(std::string& text)
{
    if (const auto& owned = owner_.Owned()) {
        text = *owned;
        return ClipboardRead::Text;
    }
    return Fetch(text);
}

ClipboardRead X11Clipboard::FetchShared(std::shared_ptr<const std::string>& text)
{
    if (const auto& owned = owner_.Owned()) {
        text = owned;
        return ClipboardRead::Text;
    }
    std::string read;
    const ClipboardRead result = Fetch(read);
    if (result == ClipboardRead::Text) text = std::make_shared<const std::string>(std::move(read));
    return result;
}

ClipboardRead X11Clipboard::Fetch(std::string& text)
{
    const std::uint64_t changes = owner_.Changes();
    if (result_ && result_->changes == changes) {
        const ClipboardRead read = result_->read;
        if (read == ClipboardRead::Text) text = std::move(result_->text);
        result_.reset();
        return read;
    }
    if (failures_ > 0 && failedChanges_ == changes && NowMs() < retryAtMs_) return ClipboardRead::Failed;
    reads_.Start(changes);
    return ClipboardRead::Pending;
}

bool X11Clipboard::Place(std::shared_ptr<const std::string> text)
{
    result_.reset();
    return owner_.Own(std::move(text));
}

void X11Clipboard::Finished(X11ReadThread::Result result)
{
    const std::uint64_t changes = owner_.Changes();
    if (owner_.Owned() != nullptr) return;
    // Another owner's text, or one made stale by a change: read afresh (a
    // look made while this read ran found it busy and started none).
    if (result.ownerChanged || result.changes != changes) {
        if (onChange_) onChange_();
        return;
    }
    if (result.read == ClipboardRead::Failed) {
        failures_ = failedChanges_ == changes ? failures_ + 1 : 1;
        failedChanges_ = changes;
        const std::int64_t backOff = FirstRetryMs << std::min(failures_ - 1, 16);
        retryAtMs_ = NowMs() + std::min(MaxRetryMs, std::max(backOff, RetryPerReadMs * result.tookMs));
    } else {
        failures_ = 0;
    }
    heldText_ = result.read == ClipboardRead::Text;
    result_ = std::move(result);
    if (onChange_) onChange_();
}
