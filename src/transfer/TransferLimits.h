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

// How often the window's watcher looks at the clipboard when no change was
// reported (Timer1): a sender of the original design starts at most one
// transfer per tick.
inline constexpr int WatcherTickMs = 500;

// How long a text's send follows its length's on a plain connection. Chosen
// by measurement (see docs/PERFORMANCE.md): it covers how late a reader's
// first read comes after readiness on a loaded machine. The encrypted link
// has no such wait: its records mark where the length ends.
inline constexpr int LengthWaitMs = 40;
// The least time between the starts of two transfers to one peer on a plain
// connection; none on the encrypted link.
inline constexpr int TransferPaceMs = 500;

// How long the stream must stay silent before the receiver settles a start of
// transfer that its bytes alone cannot settle. A sender sends its length and
// its text one straight after the other, so a silence this long means it has
// sent everything it meant to, or paused after a length.
inline constexpr std::int64_t QuietResolveMs = 1000;

// A pause of at least this long between two reads, after a read that
// ended exactly where a length did, is taken as the wait a sender makes
// between its length and its text. It lets a text whose bytes alone leave
// its length open (one that begins with digits) be settled as soon as it is
// complete, instead of after QuietResolveMs, when the rules for a quiet
// stream would settle it the same way. Assumes the sender waits about twice
// this or more (10 ms and up) after its length; a shorter wait only means
// the text waits for the quiet second, as a joined length and text does.
inline constexpr std::int64_t LengthPauseMs = 5;

// Bytes that arrive within this time of a read belong to the same transfer
// as that read: a sender starts a transfer at most once per watcher tick. So the text pieces that follow a length that came alone are known
// for its text even where they also read as whole transfers of their own.
inline constexpr std::int64_t SameTransferWithinMs = 250;

// How long an incoming transfer may stand still, no byte of it arriving,
// before it is dropped as failed. A sender that stops inside its text (a
// partial send, or a peer that hangs) would otherwise keep the receiver, and
// the sends it holds back, waiting for good. Well above QuietResolveMs and
// the pauses of a slow or lossy network, so a text that is merely slow
// still arrives whole. A read of digits alone, which may be a length whose
// text is late, waits as long before it is settled as a text of digits.
inline constexpr std::int64_t StalledTransferMs = 5000;

// The receiver's reading of time rests on the sender's.
static_assert(LengthWaitMs >= 2 * LengthPauseMs, "a sender's wait after its length must read as a pause");
static_assert(2 * SameTransferWithinMs <= WatcherTickMs && WatcherTickMs <= TransferPaceMs,
              "the next transfer must come later than the pieces of one text");
static_assert(QuietResolveMs > SameTransferWithinMs && StalledTransferMs > QuietResolveMs,
              "a quiet spell must outlast a pause inside a text, and a stall the quiet spell");

// What settling a start of transfer may cost, counted in offsets examined:
// this many per byte buffered since the resolver was last empty, plus a fixed
// allowance. The search examines an offset at most once for each of the (at
// most MaxLengthDigits) candidate lengths, and real streams, digit-heavy
// ones included, need well under one per byte; the bound stays as a guard
// that keeps the event loop from stalling whatever the bytes are.
inline constexpr std::size_t ResolveWorkPerByte = 64;
inline constexpr std::size_t ResolveWorkAllowance = 64 * 1024;

// Space set aside for an incoming text before its bytes arrive; a longer text
// grows as it comes, so a length alone never claims more memory than this.
inline constexpr std::size_t ReserveLimitBytes = 1024 * 1024;

// Once this fraction (1/N) of an announced text has arrived, its room is
// reserved whole instead of growing the text by doubling.
inline constexpr std::size_t TrustAnnouncedFraction = 8;
