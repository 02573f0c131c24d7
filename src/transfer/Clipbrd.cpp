#include "Clipbrd.h"

Exception ClipboardUnavailableError()
{
    return Exception("クリップボードを開くことができません");
}

TClipboard::TClipboard(std::unique_ptr<ClipboardBackend> backend) : backend_(std::move(backend)) {}

void TClipboard::SetOnChange(std::function<void()> handler)
{
    onChange_ = std::move(handler);
    if (backend_ != nullptr) backend_->SetOnChange(onChange_);
}

TClipboard::Codecs TClipboard::MakeCodecs(const std::string& wireEncoding,
                                          const ClipboardBackend* backend) const
{
    Codecs codecs;
    if (wireEncoding.empty()) return codecs;
    const std::string local = backend != nullptr ? backend->TextEncoding() : LocaleEncoding();
    codecs.toWire = std::make_unique<TextCodec>(local, wireEncoding);
    codecs.fromWire = std::make_unique<TextCodec>(wireEncoding, local);
    return codecs;
}

void TClipboard::SetBackend(std::unique_ptr<ClipboardBackend> backend)
{
    Codecs codecs = MakeCodecs(wireEncoding_, backend.get());
    backend_ = std::move(backend);
    codecs_ = std::move(codecs);
    if (backend_ != nullptr) backend_->SetOnChange(onChange_);
}

void TClipboard::SetWireEncoding(const std::string& name)
{
    Codecs codecs = MakeCodecs(name, backend_.get());
    wireEncoding_ = name;
    codecs_ = std::move(codecs);
}

bool TClipboard::HoldsText()
{
    return backend_ != nullptr && backend_->HoldsText();
}

std::string TClipboard::FetchText()
{
    std::string text;
    if (backend_ == nullptr || !backend_->FetchText(text)) throw ClipboardUnavailableError();
    if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
    if (codecs_.toWire) return codecs_.toWire->Convert(text);
    return text; // not folded into a conditional, which would copy it
}

void TClipboard::PlaceText(const std::string& text)
{
    if (backend_ == nullptr) throw ClipboardUnavailableError();
    const bool placed = codecs_.fromWire ? backend_->PlaceText(codecs_.fromWire->Convert(text))
                                         : backend_->PlaceText(text);
    if (!placed) throw ClipboardUnavailableError();
}

std::uint64_t TClipboard::ChangeCount()
{
    return backend_ != nullptr ? backend_->ChangeCount() : ++unknownChanges_;
}

TClipboard& SharedClipboard()
{
    static TClipboard clipboard;
    return clipboard;
}

void SetClipboardBackend(std::unique_ptr<ClipboardBackend> backend)
{
    SharedClipboard().SetBackend(std::move(backend));
}
