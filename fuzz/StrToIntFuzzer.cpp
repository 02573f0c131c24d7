// Fuzz target: StrToInt and TryStrToInt against a reading of the accepted
// integer texts written apart from the parser, the long way round (find the
// parts, strip leading zeros, compare against the limits as digit strings).
// Both must agree on acceptance and value, and a refusal must carry the
// whole text in its message.

#include "FuzzCheck.h"
#include "base/SysUtils.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view DecimalDigits = "0123456789";
constexpr std::string_view HexDigits = "0123456789abcdefABCDEF";
constexpr std::size_t MaxHexSignificantDigits = 8;
// INT32_MAX and the magnitude of INT32_MIN, as text: with leading zeros gone,
// a decimal fits when it is shorter, or as long and not greater.
constexpr std::string_view LargestPositive = "2147483647";
constexpr std::string_view LargestNegative = "2147483648";

bool AllOf(std::string_view text, std::string_view allowed)
{
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

std::string_view WithoutLeadingZeros(std::string_view digits)
{
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

bool FitsBelow(std::string_view digits, std::string_view limit)
{
    return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

std::optional<std::int32_t> ReadHex(std::string_view digits, bool negative)
{
    if (digits.empty() || !AllOf(digits, HexDigits)) return std::nullopt;
    const std::string_view significant = WithoutLeadingZeros(digits);
    if (significant.size() > MaxHexSignificantDigits) return std::nullopt;
    std::uint32_t bits = 0;
    std::from_chars(significant.data(), significant.data() + significant.size(), bits, 16);
    return static_cast<std::int32_t>(negative ? ~bits + 1u : bits);
}

std::optional<std::int32_t> ReadDecimal(std::string_view digits, bool negative)
{
    if (digits.empty() || !AllOf(digits, DecimalDigits)) return std::nullopt;
    const std::string_view significant = WithoutLeadingZeros(digits);
    if (!FitsBelow(significant, negative ? LargestNegative : LargestPositive)) return std::nullopt;
    std::int64_t magnitude = 0;
    std::from_chars(significant.data(), significant.data() + significant.size(), magnitude);
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::optional<std::int32_t> ReferenceReading(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(start);
    const bool negative = rest.starts_with('-');
    if (negative || rest.starts_with('+')) rest.remove_prefix(1);
    for (const std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (rest.starts_with(prefix)) return ReadHex(rest.substr(prefix.size()), negative);
    }
    return ReadDecimal(rest, negative);
}

std::string Describe(std::string_view text, std::optional<std::int32_t> expected, std::string_view got)
{
    return "text \"" + fuzzcheck::Printable(text) + "\": expected " +
           (expected ? IntToStr(*expected) : std::string("refusal")) + ", got " + std::string(got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> expected = ReferenceReading(text);

    std::int32_t tried = 0;
    const bool accepted = TryStrToInt(text, tried);
    fuzzcheck::Expect(accepted == expected.has_value() && (!accepted || tried == *expected), "TryStrToInt",
                      [&] { return Describe(text, expected, accepted ? IntToStr(tried) : "refusal"); });

    try {
        const std::int32_t value = StrToInt(text);
        fuzzcheck::Expect(expected && value == *expected, "StrToInt",
                          [&] { return Describe(text, expected, IntToStr(value)); });
    } catch (const EConvertError& e) {
        fuzzcheck::Expect(!expected, "StrToInt",
                          [&] { return Describe(text, expected, "EConvertError"); });
        const std::string message = "'" + std::string(text) + "' は整数ではありません";
        fuzzcheck::Expect(e.Message() == message, "StrToInt message", [&] {
            return "\"" + fuzzcheck::Printable(e.Message()) + "\" for \"" + fuzzcheck::Printable(text) + "\"";
        });
    }

    // The program's own decimal form of any accepted value reads back as it.
    if (expected) {
        std::int32_t again = 0;
        const std::string decimal = IntToStr(*expected);
        fuzzcheck::Expect(TryStrToInt(decimal, again) && again == *expected, "IntToStr round trip",
                          [&] { return decimal; });
    }
    return 0;
}
