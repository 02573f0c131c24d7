#include "ClipboardBackend.h"

#include "TextCodec.h"

std::string ClipboardBackend::TextEncoding() const
{
    return LocaleEncoding();
}
