#include "store/MemIniFile.h"

#include "store/FileContent.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace {

constexpr std::string_view LineEnd = "\r\n";

bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

// Removes spaces and control bytes from both ends; bytes above 127 stay.
std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

} // namespace

TMemIniFile::TMemIniFile(std::string fileName) : TCustomIniFile(std::move(fileName))
{
    LoadFromDisk();
}

THashedStringList& TMemIniFile::SectionLines(int index) const
{
    // Every line of the section list is given its list in AppendSection.
    return *static_cast<THashedStringList*>(sections_.Objects(index));
}

THashedStringList& TMemIniFile::AppendSection(std::string name)
{
    auto lines = std::make_unique<THashedStringList>();
    lines->SetCaseSensitive(sections_.CaseSensitive());
    THashedStringList& added = *lines;
    sections_.AddObject(std::move(name), std::move(lines));
    return added;
}

void TMemIniFile::LoadFromDisk()
{
    LoadFromFile(FileName());
}

void TMemIniFile::LoadFromFile(const std::string& path)
{
    sections_.Clear();
    if (path.empty()) return;
    const std::optional<std::string> content = ReadFileContent(path);
    if (content) LoadFromText(*content);
}

void TMemIniFile::LoadFromText(std::string_view text)
{
    // A text ends at its first NUL; CR LF, lone CR and lone LF all end a line.
    text = text.substr(0, text.find('\0'));
    THashedStringList* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of(LineEnd), text.size());
        const std::string_view line = Trim(text.substr(0, end));
        if (end == text.size()) {
            text = {};
        } else {
            text.remove_prefix(text.compare(end, LineEnd.size(), LineEnd) == 0 ? end + LineEnd.size() : end + 1);
        }

        if (line.empty() || line.front() == ';') continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = &AppendSection(std::string(Trim(line.substr(1, line.size() - 2))));
            continue;
        }
        if (current == nullptr) continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            current->Add(std::string(line));
        } else {
            std::string stored(Trim(line.substr(0, equals)));
            stored += '=';
            stored += Trim(line.substr(equals + 1));
            current->Add(std::move(stored));
        }
    }
}

std::string TMemIniFile::GetValue(std::string_view section, std::string_view key, std::string_view fallback) const
{
    const int sectionIndex = sections_.FindLine(section);
    if (sectionIndex == THashedStringList::NotFound) return std::string(fallback);
    const THashedStringList& lines = SectionLines(sectionIndex);
    const int lineIndex = lines.FindName(key);
    if (lineIndex == THashedStringList::NotFound) return std::string(fallback);
    const std::string& line = lines.Strings(lineIndex);
    return line.substr(line.find('=') + 1);
}

void TMemIniFile::PutValue(std::string_view section, std::string_view key, std::string_view value)
{
    const int sectionIndex = sections_.FindLine(section);
    THashedStringList& lines = sectionIndex == THashedStringList::NotFound ? AppendSection(std::string(section))
                                                                           : SectionLines(sectionIndex);
    std::string line(key);
    line += '=';
    line += value;
    const int lineIndex = lines.FindName(key);
    if (lineIndex == THashedStringList::NotFound) {
        lines.Add(std::move(line));
    } else {
        lines.Put(lineIndex, std::move(line));
    }
}

std::string TMemIniFile::ComposeText() const
{
    std::string text;
    for (int s = 0; s < sections_.Count(); ++s) {
        text += '[';
        text += sections_.Strings(s);
        text += ']';
        text += LineEnd;
        const THashedStringList& lines = SectionLines(s);
        for (int i = 0; i < lines.Count(); ++i) {
            text += lines.Strings(i);
            text += LineEnd;
        }
        text += LineEnd;
    }
    return text;
}

void TMemIniFile::SaveToDisk()
{
    ReplaceFileContent(FileName(), ComposeText(), ownerOnly_);
}
