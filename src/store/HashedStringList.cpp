#include "HashedStringList.h"

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
    lineIndexStale_ = true;
    nameIndexStale_ = true;
}

void THashedStringList::RebuildLineIndex() const
{
    lineIndex_.Clear();
    for (int i = 0; i < Count(); ++i) lineIndex_.Add(Folded(Strings(i)), i);
    lineIndexStale_ = false;
}

void THashedStringList::RebuildNameIndex() const
{
    nameIndex_.Clear();
    for (int i = 0; i < Count(); ++i) {
        const std::string& text = Strings(i);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) nameIndex_.Add(Folded(std::string_view(text).substr(0, equals)), i);
    }
    nameIndexStale_ = false;
}

int THashedStringList::FindLine(std::string_view text) const
{
    if (lineIndexStale_) RebuildLineIndex();
    return lineIndex_.ValueOf(Folded(text));
}

int THashedStringList::FindName(std::string_view name) const
{
    if (nameIndexStale_) RebuildNameIndex();
    return nameIndex_.ValueOf(Folded(name));
}
