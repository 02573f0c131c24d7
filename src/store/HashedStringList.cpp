#include "store/HashedStringList.h"

std::string THashedStringList::Folded(std::string_view text) const
{
    std::string folded(text);
    if (CaseSensitive()) return folded;
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

void THashedStringList::Changed()
{
    lineIndex_.reset();
    nameIndex_.reset();
}

void THashedStringList::RebuildLineIndex() const
{
    lineIndex_ = std::make_unique<TStringHash>();
    lineIndex_->Reserve(static_cast<std::size_t>(Count()));
    for (int i = 0; i < Count(); ++i) lineIndex_->Add(Folded(Strings(i)), i);
}

void THashedStringList::RebuildNameIndex() const
{
    nameIndex_ = std::make_unique<TStringHash>();
    nameIndex_->Reserve(static_cast<std::size_t>(Count()));
    for (int i = 0; i < Count(); ++i) {
        const std::string& text = Strings(i);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) nameIndex_->Add(Folded(std::string_view(text).substr(0, equals)), i);
    }
}

int THashedStringList::FindLine(std::string_view text) const
{
    if (!lineIndex_) RebuildLineIndex();
    return lineIndex_->ValueOf(Folded(text));
}

int THashedStringList::FindName(std::string_view name) const
{
    if (!nameIndex_) RebuildNameIndex();
    return nameIndex_->ValueOf(Folded(name));
}
