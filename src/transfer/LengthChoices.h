// LengthChoices: the lengths that may begin at one offset of the bytes of a
// start of transfer. The one digit walk that the length search, the quiet
// survey and the rules all read lengths through.
//
// A length is decimal digits, no leading zero but a lone "0", at most
// MaxTransferBytes: at an offset there is one choice per digit count, so at
// most MaxLengthDigits of them, shortest first.
#pragma once

#include "transfer/TransferLimits.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct LengthChoices {
    int count = 0;
    std::array<std::int32_t, MaxLengthDigits> values{};
    std::array<std::size_t, MaxLengthDigits> ends{}; // offset just past each one's text
    bool stillArriving = false; // the digits run to the end of the bytes and may go on

    // The choices at `offset` of `bytes`; with `mostDigits`, only those of up
    // to that many digits (a cheaper walk), and stillArriving is then false
    // whenever the walk stopped there.
    static LengthChoices At(std::string_view bytes, std::size_t offset, int mostDigits = MaxLengthDigits);
};
