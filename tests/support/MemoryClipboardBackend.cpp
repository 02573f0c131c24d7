#include "MemoryClipboardBackend.h"

bool MemoryClipboardBackend::HoldsText()
{
    return content_.has_value();
}

ClipboardRead MemoryClipboardBackend::FetchText(std::string& text)
{
    if (!accessible_) return ClipboardRead::Unreachable;
    if (pending_) return ClipboardRead::Pending;
    ++fetches_;
    if (!content_) return ClipboardRead::NoText;
    text = *content_;
    return ClipboardRead::Text;
}

bool MemoryClipboardBackend::PlaceText(const std::string& text)
{
    if (!accessible_) return false;
    ++places_;
    content_ = storeFilter_ ? storeFilter_(text) : text;
    ++changes_;
    NotifyChange();
    return true;
}

std::uint64_t MemoryClipboardBackend::ChangeCount()
{
    return changes_;
}

std::string MemoryClipboardBackend::TextEncoding() const
{
    return encoding_.empty() ? ClipboardBackend::TextEncoding() : encoding_;
}

void MemoryClipboardBackend::SetForeignText(std::string text)
{
    content_ = std::move(text);
    ++changes_;
    NotifyChange();
}

void MemoryClipboardBackend::SetForeignNonText()
{
    content_.reset();
    ++changes_;
    NotifyChange();
}

void MemoryClipboardBackend::SetStoreFilter(std::function<std::string(const std::string&)> filter)
{
    storeFilter_ = std::move(filter);
}
