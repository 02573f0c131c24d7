// The transfer layer's limits and timings, in one place.
//
// Included by the receiver, the watcher and the wire helpers; the window may
// read them (for example to explain a refused text) but never changes them.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest text either side handles. A length beyond it is not a length:
// the receiver never reads it as one, and the watcher never announces one.
inline constexpr std::int32_t MaxTransferBytes = 256 * 1024 * 1024;

// The most digits a length within MaxTransferBytes can have.
inline constexpr int MaxLengthDigits = 9;

// How long the stream must stay silent before the receiver settles a start of
// transfer that its bytes alone cannot settle.
inline constexpr std::int64_t QuietResolveMs = 1000;

// How far an unsettled start of transfer may run past the end of the longest
// text still in question before the receiver gives it up. Past that point
// the bytes are more than any one of the candidate lengths accounts for.
inline constexpr std::size_t HeaderSlackBytes = 64 * 1024;

// What settling a start of transfer may cost, counted in offsets examined:
// this many per byte buffered since the resolver was last empty, plus a fixed
// allowance. Real streams need a handful per byte; bytes crafted to keep the
// question open without end are refused instead of stalling the event loop.
inline constexpr std::size_t ResolveWorkPerByte = 64;
inline constexpr std::size_t ResolveWorkAllowance = 64 * 1024;

// Space set aside for an incoming text before its bytes arrive; a longer text
// grows as it comes, so a length alone never claims more memory than this.
inline constexpr std::size_t ReserveLimitBytes = 1024 * 1024;
