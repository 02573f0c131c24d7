// Fuzz target: the settings store on arbitrary file bytes.
//
// Each input is written to a file in a private directory and loaded with
// TMemIniFile; the store is saved over it. Checked, for every input:
// - the saved text is what a reading of the input written here, apart from
//   the store (line ends, trimming, comments, headers, "=" lines), composes;
// - a store loaded from the saved file answers every key with the value of
//   its last occurrence, whatever the letter case of the question;
// - saving that store again gives the same bytes.
// The directory lives under $TMPDIR (or /tmp) and is removed at exit.

#include "FuzzCheck.h"
#include "store/MemIniFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Section {
    std::string name;
    std::vector<std::string> lines;
};

std::string privateDir;
std::string filePath;

void RemovePrivateDir()
{
    ::unlink(filePath.c_str());
    ::rmdir(privateDir.c_str());
}

void WriteFile(std::string_view bytes)
{
    std::FILE* file = std::fopen(filePath.c_str(), "wb");
    if (file == nullptr) fuzzcheck::Fail("test set-up", "cannot write " + filePath);
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !whole) fuzzcheck::Fail("test set-up", "cannot write " + filePath);
}

std::string ReadFile()
{
    std::FILE* file = std::fopen(filePath.c_str(), "rb");
    if (file == nullptr) fuzzcheck::Fail("saved file", "missing: " + filePath);
    std::string bytes;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
    std::fclose(file);
    return bytes;
}

bool Blank(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

std::string Trimmed(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && Blank(text[begin])) ++begin;
    while (end > begin && Blank(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

// The physical lines of a file, byte by byte: CR (taking one LF after it) or
// LF ends a line, and the first NUL ends the text.
std::vector<std::string> PhysicalLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\0'; ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            open = false;
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else {
            line += c;
            open = true;
        }
    }
    if (open) lines.push_back(std::move(line));
    return lines;
}

std::vector<Section> ReferenceReading(std::string_view bytes)
{
    std::vector<Section> sections;
    for (const std::string& physical : PhysicalLines(bytes)) {
        const std::string line = Trimmed(physical);
        if (line.empty() || line[0] == ';') continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            sections.push_back({Trimmed(std::string_view(line).substr(1, line.size() - 2)), {}});
        } else if (!sections.empty()) {
            const std::size_t equals = line.find('=');
            sections.back().lines.push_back(equals == std::string::npos
                                                ? line
                                                : Trimmed(line.substr(0, equals)) + "=" +
                                                      Trimmed(line.substr(equals + 1)));
        }
    }
    return sections;
}

std::string Composed(const std::vector<Section>& sections)
{
    std::string text;
    for (const Section& section : sections) {
        text += "[" + section.name + "]\r\n";
        for (const std::string& line : section.lines) text += line + "\r\n";
        text += "\r\n";
    }
    return text;
}

std::string Folded(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// The same name as a caller might spell it: ASCII letters in the other case.
std::string CaseFlipped(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Every key of the reading must be found with the value of the last line of
// its name in the last section of its name. The fallback can never be a
// stored value: stored lines hold no CR.
void CheckLookups(const TMemIniFile& store, const std::vector<Section>& sections, std::string_view input)
{
    constexpr std::string_view Absent = "\r<absent>";
    std::map<std::string, std::size_t> lastSection;
    for (std::size_t s = 0; s < sections.size(); ++s) lastSection[Folded(sections[s].name)] = s;

    for (const auto& [foldedName, index] : lastSection) {
        const Section& section = sections[index];
        std::map<std::string, std::pair<std::string, std::string>> lastKey; // folded name -> (name, value)
        for (const std::string& line : section.lines) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) {
                lastKey[Folded(line.substr(0, equals))] = {line.substr(0, equals), line.substr(equals + 1)};
            }
        }
        for (const auto& entry : lastKey) {
            const std::string& key = entry.second.first;
            const std::string& value = entry.second.second;
            for (const std::string& asked : {key, CaseFlipped(key)}) {
                const std::string got = store.GetValue(CaseFlipped(section.name), asked, Absent);
                fuzzcheck::Expect(got == value, "lookup after reload", [&] {
                    return "[" + fuzzcheck::Printable(section.name) + "] " + fuzzcheck::Printable(asked) +
                           ": expected \"" + fuzzcheck::Printable(value) + "\", got \"" + fuzzcheck::Printable(got) +
                           "\"; input \"" + fuzzcheck::Printable(input) + "\"";
                });
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessaro-fuzz-ini-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fuzzcheck::Fail("test set-up", "cannot make " + pattern);
    privateDir = pattern;
    filePath = privateDir + "/settings.ini";
    std::atexit(RemovePrivateDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<Section> reading = ReferenceReading(input);
    const std::string expected = Composed(reading);

    WriteFile(input);
    TMemIniFile(filePath).SaveToDisk();
    const std::string saved = ReadFile();
    fuzzcheck::Expect(saved == expected, "save of a loaded file", [&] {
        return "input \"" + fuzzcheck::Printable(input) + "\"\n    saved \"" + fuzzcheck::Printable(saved) +
               "\"\n    expected \"" + fuzzcheck::Printable(expected) + "\"";
    });

    TMemIniFile reloaded(filePath);
    CheckLookups(reloaded, reading, input);
    reloaded.SaveToDisk();
    const std::string savedAgain = ReadFile();
    fuzzcheck::Expect(savedAgain == saved, "second save", [&] {
        return "first \"" + fuzzcheck::Printable(saved) + "\"\n    second \"" + fuzzcheck::Printable(savedAgain) +
               "\"";
    });
    return 0;
}
