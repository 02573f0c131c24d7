#include "transfer/ClipboardBackend.h"

#include "transfer/TextCodec.h"

std::string ClipboardBackend::TextEncoding() const
{
    return LocaleEncoding();
}
