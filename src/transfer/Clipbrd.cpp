#include "transfer/Clipbrd.h"

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

ClipboardRead TClipboard::Read(std::string& text)
{
    if (backend_ == nullptr) throw ClipboardUnavailableError();
    std::string read;
    const ClipboardRead result = backend_->FetchText(read);
    if (result == ClipboardRead::Unreachable) throw ClipboardUnavailableError();
    if (result != ClipboardRead::Text) return result;
    if (const auto end = read.find('\0'); end != std::string::npos) read.resize(end);
    if (codecs_.toWire) {
        text = codecs_.toWire->Convert(read);
    } else {
        text = std::move(read);
    }
    return result;
}

ClipboardRead TClipboard::ReadShared(std::shared_ptr<const std::string>& text)
{
    if (backend_ == nullptr) throw ClipboardUnavailableError();
    std::shared_ptr<const std::string> read;
    const ClipboardRead result = backend_->FetchShared(read);
    if (result == ClipboardRead::Unreachable) throw ClipboardUnavailableError();
    if (result != ClipboardRead::Text) return result;
    const auto end = read->find('\0');
    if (codecs_.toWire) {
        text = std::make_shared<const std::string>(codecs_.toWire->Convert(read->substr(0, end)));
    } else if (end != std::string::npos) {
        text = std::make_shared<const std::string>(read->substr(0, end));
    } else {
        text = std::move(read);
    }
    return result;
}

std::string TClipboard::FetchText()
{
    std::string text;
    const ClipboardRead read = Read(text);
    if (read == ClipboardRead::Failed || read == ClipboardRead::Pending) throw ClipboardUnavailableError();
    return text;
}

void TClipboard::PlaceText(const std::string& text)
{
    if (backend_ == nullptr) throw ClipboardUnavailableError();
    const auto end = text.find('\0');
    if (end != std::string::npos) {
        PlaceText(text.substr(0, end));
        return;
    }
    const bool placed = codecs_.fromWire ? backend_->PlaceText(codecs_.fromWire->Convert(text))
                                         : backend_->PlaceText(text);
    if (!placed) throw ClipboardUnavailableError();
}

void TClipboard::PlaceShared(std::shared_ptr<const std::string> text)
{
    if (backend_ == nullptr) throw ClipboardUnavailableError();
    if (const auto end = text->find('\0'); end != std::string::npos)
        text = std::make_shared<const std::string>(text->substr(0, end));
    if (codecs_.fromWire) text = std::make_shared<const std::string>(codecs_.fromWire->Convert(*text));
    if (!backend_->PlaceShared(std::move(text))) throw ClipboardUnavailableError();
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
