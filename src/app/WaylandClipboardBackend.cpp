#include "app/WaylandClipboardBackend.h"

#include "transfer/TransferLimits.h"

#include <unistd.h>

#include <array>
#include <string_view>
#include <utility>

namespace {

// Text types, best first: the UTF-8 ones, then plain text (UTF-8 in
// practice), then the X11 names the compositor passes on from X programs.
constexpr std::array<std::string_view, 5> TextTypes{"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                                    "STRING", "TEXT"};
constexpr std::string_view Latin1Type = "STRING";
// Set, with the value "secret", by password managers beside a password.
constexpr std::string_view SecretHintType = "x-kde-passwordManagerHint";
constexpr std::string_view SecretHintValue = "secret";
// The most of a hint that is read: it is a word.
constexpr std::size_t HintLimitBytes = 64;
// Offered beside the text by this program's sources, with the process id,
// so that the selection handed back is known for its own.
constexpr std::string_view OwnTypePrefix = "application/x-tessaro-source;pid=";

std::string OwnType()
{
    return std::string(OwnTypePrefix) + std::to_string(::getpid());
}

std::string Latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

// A character Latin-1 cannot hold becomes "?", one for each character.
std::string Utf8ToLatin1(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        length = std::min(length, bytes.size() - i);
        if (length == 1) {
            out.push_back(lead < 0x80 ? static_cast<char>(lead) : '?');
        } else if (length == 2 && lead <= 0xC3) {
            out.push_back(static_cast<char>(((lead & 0x03) << 6) | (static_cast<unsigned char>(bytes[i + 1]) & 0x3F)));
        } else {
            out.push_back('?');
        }
        i += length;
    }
    return out;
}

} // namespace

WaylandClipboardBackend::WaylandClipboardBackend(EventLoop& loop) : loop_(loop)
{
    device_ = DataControlDevice::Connect(*this);
    if (device_ == nullptr) return;
    readWatch_ = loop_.Watch(device_->Fd(), Readiness::Read, [this] { Readable(); });
    writeWatch_ = loop_.Watch(device_->Fd(), Readiness::Write, [this] { Flush(); });
    loop_.SetWatchEnabled(writeWatch_, false);
    watching_ = true;
}

WaylandClipboardBackend::~WaylandClipboardBackend()
{
    writings_.clear();
    reading_.reset();
    if (watching_) {
        loop_.Unwatch(readWatch_);
        loop_.Unwatch(writeWatch_);
    }
    device_.reset();
}

std::string WaylandClipboardBackend::ProtocolName() const
{
    return device_ != nullptr ? device_->ProtocolName() : "";
}

bool WaylandClipboardBackend::Reachable() const
{
    return device_ != nullptr && !device_->Lost();
}

// libwayland calls the device's handlers from C: nothing may be thrown
// through it.
template <class F>
void WaylandClipboardBackend::Guarded(F&& handler) noexcept
{
    try {
        handler();
    } catch (...) {
        if (!handlerError_) handlerError_ = std::current_exception();
    }
}

void WaylandClipboardBackend::Readable()
{
    const bool alive = device_->Dispatch();
    if (alive) Flush();
    if (!alive) LoseConnection();
    if (handlerError_) std::rethrow_exception(std::exchange(handlerError_, nullptr));
}

void WaylandClipboardBackend::Flush()
{
    if (!watching_) return;
    switch (device_->Flush()) {
    case DataControlDevice::Flushed::Done:
        loop_.SetWatchEnabled(writeWatch_, false);
        break;
    case DataControlDevice::Flushed::Blocked:
        loop_.SetWatchEnabled(writeWatch_, true);
        break;
    case DataControlDevice::Flushed::Lost:
        LoseConnection();
        break;
    }
}

// The compositor went away or ended the device: every read from here on
// finds the clipboard unreachable.
void WaylandClipboardBackend::LoseConnection()
{
    if (!watching_) return;
    watching_ = false;
    loop_.Unwatch(readWatch_);
    loop_.Unwatch(writeWatch_);
    reading_.reset();
    ++changes_;
    NotifyChange();
}

bool WaylandClipboardBackend::HoldsText()
{
    if (!Reachable()) return false;
    return ownSource_ != 0 || (reading_ == nullptr && known_ == ClipboardRead::Text);
}

ClipboardRead WaylandClipboardBackend::FetchText(std::string& text)
{
    if (!Reachable()) return ClipboardRead::Unreachable;
    if (ownSource_ != 0) {
        text = *sources_.at(ownSource_);
        return ClipboardRead::Text;
    }
    // Not known yet: the change count moves once it is.
    if (reading_ != nullptr) return ClipboardRead::Failed;
    if (known_ != ClipboardRead::Text) return known_;
    if (textGiven_) {
        ReadOffer();
        return ClipboardRead::Failed;
    }
    textGiven_ = true;
    text = std::move(text_);
    std::string().swap(text_);
    return ClipboardRead::Text;
}

bool WaylandClipboardBackend::PlaceText(const std::string& text)
{
    if (!Reachable()) return false;
    auto bytes = std::make_shared<const std::string>(text);
    std::vector<std::string> types(TextTypes.begin(), TextTypes.end());
    types.push_back(OwnType());
    const DataControlDevice::SourceId source = device_->SetSelection(types);
    if (source == 0) return false;
    Flush();
    if (!Reachable()) return false;
    ForgetSelection();
    sources_.emplace(source, std::move(bytes));
    ownSource_ = source;
    ++changes_;
    NotifyChange();
    return true;
}

void WaylandClipboardBackend::SelectionChanged(const DataControlOffer* offer)
{
    Guarded([&] {
        offer_ = offer;
        // The program's own source handed back: its text is known. One it
        // made before the current one is on its way out, and the selection
        // that replaced it follows.
        if (offer != nullptr && offer->Lists(OwnType())) return;
        ForgetSelection();
        textType_.clear();
        if (offer != nullptr) {
            for (const std::string_view type : TextTypes) {
                if (!offer->Lists(type)) continue;
                textType_ = type;
                break;
            }
        }
        if (textType_.empty()) return Settle(ClipboardRead::NoText);
        ReadOffer();
    });
}

// Drops what is known of the selection before it changed hands.
void WaylandClipboardBackend::ForgetSelection()
{
    reading_.reset();
    std::string().swap(text_);
    textGiven_ = false;
    known_ = ClipboardRead::NoText;
    ownSource_ = 0;
}

// The hint first, when the owner lists it, then the text.
void WaylandClipboardBackend::ReadOffer()
{
    if (offer_ != nullptr && offer_->Lists(SecretHintType)) {
        StartReading(Step::Hint, std::string(SecretHintType));
    } else {
        StartReading(Step::Text, textType_);
    }
}

void WaylandClipboardBackend::StartReading(Step step, const std::string& type)
{
    reading_.reset();
    const int fd = offer_ != nullptr ? device_->Receive(*offer_, type) : -1;
    if (fd < 0) return Settle(ClipboardRead::Failed);
    Flush();
    const std::size_t limit = step == Step::Hint ? HintLimitBytes : static_cast<std::size_t>(MaxTransferBytes) + 1;
    reading_ = std::make_unique<PipeReading>(loop_, fd, limit,
                                             [this, step](PipeReading::Outcome outcome, std::string data) {
                                                 ReadFinished(step, outcome, std::move(data));
                                             });
}

void WaylandClipboardBackend::ReadFinished(Step step, PipeReading::Outcome outcome, std::string data)
{
    // The reading is done and may go; `data` is this call's own.
    reading_.reset();
    // A hint that cannot be read may still say secret: nothing is sent.
    if (outcome == PipeReading::Outcome::Failed) return Settle(ClipboardRead::Failed);
    if (step == Step::Hint) {
        std::string_view value(data);
        if (const auto end = value.find('\0'); end != std::string_view::npos) value = value.substr(0, end);
        if (value == SecretHintValue) return Settle(ClipboardRead::Secret);
        return StartReading(Step::Text, textType_);
    }
    if (textType_ == Latin1Type) data = Latin1ToUtf8(data);
    Settle(ClipboardRead::Text, std::move(data));
}

void WaylandClipboardBackend::Settle(ClipboardRead result, std::string text)
{
    known_ = result;
    text_ = std::move(text);
    textGiven_ = false;
    ++changes_;
    NotifyChange();
}

void WaylandClipboardBackend::SendRequested(DataControlDevice::SourceId source, const std::string& type, int fd)
{
    Guarded([&] {
        const auto found = sources_.find(source);
        if (found == sources_.end()) {
            ::close(fd);
            return;
        }
        std::shared_ptr<const std::string> bytes = found->second;
        if (type == Latin1Type) {
            bytes = std::make_shared<const std::string>(Utf8ToLatin1(*bytes));
        } else if (type.compare(0, OwnTypePrefix.size(), OwnTypePrefix) == 0) {
            bytes = std::make_shared<const std::string>();
        }
        const std::uint64_t id = nextWriting_++;
        writings_.emplace(id, std::make_unique<PipeWriting>(loop_, fd, std::move(bytes),
                                                            [this, id] { writings_.erase(id); }));
    });
}

void WaylandClipboardBackend::SourceCancelled(DataControlDevice::SourceId source)
{
    Guarded([&] {
        sources_.erase(source);
        if (source == ownSource_) ownSource_ = 0;
    });
}
