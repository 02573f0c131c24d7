#include "base/SysUtils.h"

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr int MaxHexSignificantDigits = 8;

} // namespace

EConvertError NotAnIntegerError(std::string_view text)
{
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on a
    // literal joined to a temporary string with "+".
    std::string message = "'";
    message.append(text);
    message.append("' は整数ではありません");
    return EConvertError(message);
}

EOutOfResources NoTimerError()
{
    return EOutOfResources("タイマーを取得できません");
}

EListError ListIndexError(std::int32_t index)
{
    std::string message = "リストのインデックスが範囲を超えています (";
    message.append(IntToStr(index));
    message.append(")");
    return EListError(message);
}

bool TryStrToInt(std::string_view text, std::int32_t& value)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;

    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < n && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i < n && (text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }

    if (i == n) return false; // a sign or prefix with no digits, or nothing at all

    if (hex) {
        std::uint32_t bits = 0;
        int significant = 0;
        for (; i < n; ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0) return false;
            if (significant > 0 || d != 0) ++significant;
            if (significant > MaxHexSignificantDigits) return false;
            bits = (bits << 4) | static_cast<std::uint32_t>(d);
        }
        // Negation wraps like the 32-bit machine arithmetic the pattern comes from.
        const std::uint32_t result = negative ? 0u - bits : bits;
        value = static_cast<std::int32_t>(result);
        return true;
    }

    // Accumulate as a magnitude; the limit differs by one between the signs.
    const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    std::uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        if (magnitude > limit) return false;
    }
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                     : static_cast<std::int32_t>(magnitude);
    return true;
}

std::int32_t StrToInt(std::string_view text)
{
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) throw NotAnIntegerError(text);
    return value;
}

std::string IntToStr(std::int64_t value)
{
    return std::to_string(value);
}
