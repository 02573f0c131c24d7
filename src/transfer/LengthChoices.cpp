#include "transfer/LengthChoices.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

LengthChoices LengthChoices::At(std::string_view bytes, std::size_t offset, int mostDigits)
{
    LengthChoices lengths;
    const std::size_t size = bytes.size();
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (lengths.count < mostDigits && offset + digits < size && IsDigit(bytes[offset + digits])) {
        value = value * 10 + (bytes[offset + digits] - '0');
        ++digits;
        if (digits > 1 && bytes[offset] == '0') break;
        if (digits > static_cast<std::size_t>(MaxLengthDigits) || value > MaxTransferBytes) break;
        lengths.values[lengths.count] = static_cast<std::int32_t>(value);
        lengths.ends[lengths.count] = offset + digits + static_cast<std::size_t>(value);
        ++lengths.count;
    }
    // The digits reach the end and every one of them still forms a length:
    // a further digit may yet arrive, unless the first was "0" or one more
    // digit would overflow the bound whatever it is.
    lengths.stillArriving = lengths.count > 0 && offset + static_cast<std::size_t>(lengths.count) == size
        && bytes[offset] != '0' && lengths.count < mostDigits
        && static_cast<std::int64_t>(lengths.values[lengths.count - 1]) * 10 <= MaxTransferBytes;
    return lengths;
}
