// How a fuzz target reports a broken property: it prints what was expected
// and what happened, with the bytes shown printable, and aborts, which makes
// libFuzzer save the input as a crash file. Included by the fuzz targets only.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzcheck {

// Bytes as a C-style literal body, so a report can be pasted into a test.
inline std::string Printable(std::string_view bytes, std::size_t limit = 400)
{
    static constexpr char Hex[] = "0123456789abcdef";
    std::string shown;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\' || c == '"') {
            shown += '\\';
            shown += static_cast<char>(c);
        } else if (c >= 32 && c < 127) {
            shown += static_cast<char>(c);
        } else {
            shown += "\\x";
            shown += Hex[c >> 4];
            shown += Hex[c & 15];
        }
    }
    if (bytes.size() > limit) shown += "...";
    return shown;
}

[[noreturn]] inline void Fail(std::string_view what, std::string_view detail)
{
    std::fprintf(stderr, "\n*** property broken: %.*s\n    %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// `detail` is a callable giving the report text, so it costs nothing while
// the property holds.
template <typename Detail>
void Expect(bool holds, std::string_view what, Detail detail)
{
    if (!holds) Fail(what, detail());
}

} // namespace fuzzcheck
