// LengthResolver: finds where the announced length ends at the start of a
// transfer, when the bytes on the wire do not say.
//
// A sender puts the length and the text into two sends, but TCP may hand them
// over in one read, split either over reads, or join a transfer to the next.
// A length joined to a text that begins with digits is ambiguous: "3123" is 3
// and "123", or 31 and the first two of its bytes, or a longer length still
// arriving. This class holds the bytes of a start of transfer, with the
// places where the reads that brought them ended, and settles the question as
// far as they allow.
//
// A "reading" of the buffered bytes splits them into transfers, each a length
// (decimal digits, no leading zero except a lone "0", at most
// MaxTransferBytes) followed by that many text bytes. Only the last transfer
// of a reading may be unfinished: its text not all here yet, or, when the
// bytes end in digits, its length still arriving. A reading is complete when
// every transfer in it is whole and the last ends exactly at the last byte.
// A length for the first transfer is a candidate when some reading of all the
// buffered bytes starts with it; "the length is still arriving" is one more
// candidate when every buffered byte is a digit and a longer length could
// follow.
//
// While bytes keep coming (Decide):
//   - no candidate: the bytes are no transfer; they are dropped (Fail);
//   - one candidate, and it is a length: Take it;
//   - several: Wait for more bytes, which usually rule all but one out (a
//     length whose text ends inside the bytes survives only while a further
//     reading starts where that text ends). Waiting lasts at most until the
//     bytes run past the end of the longest candidate's text, which is no
//     more than a plain length may announce; past it no wait can finish any
//     candidate's first text, and the bytes are dropped. Bytes whose
//     examination costs more than ResolveWorkPerByte allows are dropped too.
//
// Once the sender has gone quiet (DecideQuiet) it has sent all it meant to,
// so the true reading is complete, unless the sender paused after a length.
// The reads say more: a sender sends one transfer per clipboard change, at
// most one per watcher tick, so two transfers all but never share a read,
// and the place where one transfer ends and the next begins is a read end.
// A reading is "aligned" when it is complete and each of its transfers after
// the first starts exactly where a read ended. What Decide settles is
// settled first; then the quiet rules, in the order they apply:
//   1. the first read of the start of transfer held a length and nothing
//      else, that length's text is not all here, and the next read came
//      within SameTransferWithinMs: it is taken, its text still coming (the
//      sender, or the network, paused inside the text). A sender puts its
//      length in a send of its own, and what follows it so soon is its
//      text, not another transfer, even when the bytes so far also split
//      into transfers that start where reads ended;
//   2. exactly one candidate has an aligned reading: it is taken;
//   3. as rule 1, whenever the next read came: a pause inside a text never
//      breaks a transfer that fits its length, unless a single aligned
//      reading (rule 2) says the bytes were several transfers after all.
//      This goes before rule 4, which would read a text of digits after
//      such a length as more of the length;
//   4. the bytes are all one length: it is taken, and its text is still to
//      come (the sender paused after it). This goes before the rules
//      below, which split a read into several transfers: "2000000" alone
//      would otherwise be "2", "00" and four empty texts;
//   5. exactly one candidate has a complete reading: it is taken;
//   6. of several, the one whose length ends exactly where a read ended is
//      taken, as a sender puts its length in a send of its own, if exactly
//      one does;
//   7. otherwise the bytes are dropped.
// But bytes that are one length, its text still to come, with no read end
// inside them (a read of digits alone), are exactly what a length looks
// like when the network holds its text back. They are not settled as a
// complete text, whichever rule would take one, before the stream has been
// quiet for StalledTransferMs, the bound after which a late text is dropped
// anyway: a text that comes within it settles them as its length. So "19"
// waits for "2024 report, item 1", and only a sender that joins a text of
// digits to its length ("12") has it land after those seconds of quiet.
// A text need not wait for the quiet, though, when its sender has said
// where its length ended (DecideAfterPause): a candidate whose length ended
// exactly where the first read of the start of transfer ended, after which
// the stream paused for LengthPauseMs or more (a sender's wait between its
// length and its text), and whose text is now complete to the last byte, is
// taken at once if the rules above, asked now, take it too. It is what they
// would take should the sender go quiet now, which it does after a text.
//
// So "12" read at once is the length 1 and the text "2" (one transfer, no
// boundary to place), "100" alone is a length awaiting its text, and "4" then
// "8111..." is 48 and its text, not 4 and "8111" followed by transfers that
// start inside a read.
//
// The search is incremental. Each candidate keeps the one reading found for
// it so far, as the path of lengths taken; new bytes only make it go on from
// the path's last transfer, or back up to an earlier length with shorter
// choices left. An offset from which no reading starts stays so for good and
// is marked; a path never visits an offset twice and never enters a marked
// one, so each offset is examined about once per candidate and the work
// grows with the bytes, not with their square. A taken length whose text is
// all here hands the rest of its path on to the next start of transfer.
// When quiet, the bytes stop changing, and a QuietSurvey works out every
// offset's answer once, backwards from the end, for all the transfers
// settled in that quiet spell, and the aligned readings once over the read
// ends alone, which answers the usual cases without that. Owned by
// TransferReceiver.
#pragma once

#include "transfer/LengthChoices.h"
#include "transfer/QuietSurvey.h"
#include "transfer/TransferLimits.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class LengthResolver {
public:
    struct Decision {
        enum class Kind { Wait, Fail, Take };
        Kind kind = Kind::Wait;
        std::size_t digits = 0;  // Take: how many bytes the length has
        std::int32_t length = 0; // Take: the number it announces
    };

    // The bytes of one read (`wholeRead`), or what is left of it once the
    // text being received has taken its share: a read ends where they end.
    // `gapMs`: how long after the read before it this one came.
    void AppendRead(std::string_view bytes, bool wholeRead, std::int64_t gapMs);
    // Drops the first `count` bytes (a settled transfer); what follows is a
    // new start of transfer.
    void Consume(std::size_t count);
    void Clear();
    // Lets go of the bytes of settled transfers; for when settling pauses.
    void Compact();

    bool Empty() const { return base_ == buffer_.size(); }
    std::string_view Bytes() const { return std::string_view(buffer_).substr(base_); }

    // While bytes keep coming: what they settle, or what a sender's pause
    // after its length settles.
    Decision Decide();
    // For bytes on which Decide waits, once the stream has been quiet for
    // `quietMs` (QuietResolveMs or more). Waits only on a read of digits
    // alone, and only before StalledTransferMs.
    Decision DecideQuiet(std::int64_t quietMs);

private:
    // Part of the reading found for a candidate: the length at `last` with
    // `digits` digits, preceded, when `first` differs, by a run of one-digit
    // lengths from `first` on that have no other choice left. Runs keep a
    // long string of "0" or "1x" transfers to one entry.
    struct Step {
        std::size_t first;
        std::size_t last;
        int digits;
    };
    struct Candidate {
        bool dead = false;
        std::vector<Step> steps; // from `head` on; the last is the one still open
        std::size_t head = 0;
    };

    Decision DecideOnBytes();
    Decision DecideAfterPause();
    Decision DecideByQuietRules();
    Decision DecideFromSurvey(bool byComplete);
    Decision Take(const LengthChoices& lengths, int index);
    int LengthAloneWithTextToCome(const LengthChoices& lengths) const;
    int LengthAloneInFirstRead(const LengthChoices& lengths) const;
    bool ReadOfDigitsAlone(const LengthChoices& lengths) const;
    bool ReadEndsAt(std::size_t offset) const;

    LengthChoices LengthsAt(std::size_t offset) const { return LengthChoices::At(buffer_, offset); }
    // Just past the text of the length of `digits` digits at `offset`.
    std::size_t EndOf(std::size_t offset, int digits) const
    {
        return LengthChoices::At(buffer_, offset, digits).ends[digits - 1];
    }
    bool Follow(Candidate& candidate, std::size_t start);
    void MarkDead(const Step& step);
    void ResetCandidates();
    void CarryOver(std::size_t newBase);

    std::string buffer_;
    std::size_t base_ = 0;
    // Offsets at which a read ended, in order; those at or before base_ are
    // spent.
    std::vector<std::size_t> readEnds_;
    // Beside each read end: how long after it the next read came (NoReadYet
    // while none has).
    static constexpr std::int64_t NoReadYet = INT64_MAX;
    std::vector<std::int64_t> gapAfterMs_;
    std::size_t readEndsHead_ = 0;
    // The start of transfer at base_ is where a read began.
    bool baseStartsRead_ = true;
    // Indexed by the digits of the first length, less one.
    std::array<Candidate, MaxLengthDigits> candidates_{};
    std::vector<bool> dead_; // by offset: no reading starts there
    // The candidate Decide last took, so Consume can keep what was found
    // past its text for the next start of transfer.
    int taken_ = -1;
    std::size_t takenEnd_ = 0;
    std::size_t bytesSeen_ = 0;
    std::size_t work_ = 0;
    QuietSurvey survey_; // while quiet, until the bytes change
};
