#include "transfer/ClipboardBackend.h"

#include "transfer/TextCodec.h"

std::string ClipboardBackend::TextEncoding() const
{
    return LocaleEncoding();
}

ClipboardRead ClipboardBackend::FetchShared(std::shared_ptr<const std::string>& text)
{
    std::string read;
    const ClipboardRead result = FetchText(read);
    if (result == ClipboardRead::Text) text = std::make_shared<const std::string>(std::move(read));
    return result;
}
