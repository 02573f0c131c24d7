#include "store/StringList.h"

#include "base/SysUtils.h"

std::size_t TStringList::CheckedIndex(int index) const
{
    if (index < 0 || index >= Count()) throw ListIndexError(index);
    return static_cast<std::size_t>(index);
}

const std::string& TStringList::Strings(int index) const
{
    return lines_[CheckedIndex(index)].text;
}

TObject* TStringList::Objects(int index) const
{
    return lines_[CheckedIndex(index)].object.get();
}

int TStringList::Add(std::string text)
{
    return AddObject(std::move(text), nullptr);
}

int TStringList::AddObject(std::string text, std::unique_ptr<TObject> object)
{
    lines_.push_back(Line{std::move(text), std::move(object)});
    Changed();
    return Count() - 1;
}

void TStringList::Put(int index, std::string text)
{
    lines_[CheckedIndex(index)].text = std::move(text);
    Changed();
}

void TStringList::PutObject(int index, std::unique_ptr<TObject> object)
{
    lines_[CheckedIndex(index)].object = std::move(object);
    Changed();
}

void TStringList::Delete(int index)
{
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(CheckedIndex(index)));
    Changed();
}

void TStringList::Clear()
{
    lines_.clear();
    Changed();
}

void TStringList::SetCaseSensitive(bool caseSensitive)
{
    if (caseSensitive == caseSensitive_) return;
    caseSensitive_ = caseSensitive;
    Changed();
}
