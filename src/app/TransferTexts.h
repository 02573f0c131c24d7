// The texts the window's transfer label shows about the incoming transfer.
// The wire carries no labels; these are the window's alone.
#pragma once

#include "base/SysUtils.h"

#include <cstdint>
#include <string>
#include <string_view>

// What the transfer label shows when a start of transfer is refused.
inline constexpr std::string_view TransferErrorText = "transfer err.";

// The transfer label's count, received first: "1200/5000".
inline std::string ProgressText(std::int32_t received, std::int32_t expected)
{
    return IntToStr(received) + "/" + IntToStr(expected);
}
