// ReceiverModel: the rule by which the transfer receiver reads a byte stream,
// written out plainly for the receiver's fuzz target to compare against. It
// shares no code with TransferReceiver and makes no attempt to be quick: it
// looks at the whole waiting start of transfer again on every read.
//
// The rule: a reading of waiting bytes splits them into transfers (a length
// of decimal digits, no leading zero but a lone "0", at most
// MaxTransferBytes, then that many bytes), the last of which may be
// unfinished; it is complete when every transfer is whole and the last ends
// at the last byte. A first length is a candidate when a reading starts with
// it; "more digits to come" is one more when every waiting byte is a digit
// and a longer length still fits. None is a refusal, one that is a length is
// taken, several wait; but waiting bytes that run past the end of every
// candidate's text are refused. Once the stream has gone quiet, in order
// (LengthResolver.h numbers these rules 1 to 7): the one candidate with an
// aligned reading (complete, and every transfer after the first starts where a
// read ended) is taken, unless a length was the whole first read, its text is
// not all here and the next read came within SameTransferWithinMs, which is
// taken before it; else such a length is taken whenever the next read came;
// bytes that are one length and nothing else are that length, its text to
// come; the one candidate with a complete reading is taken; of several, the
// one whose length ends where a read ended, if exactly one does; anything
// else is refused. But bytes that are one length with its text to come,
// and all one read, are not taken as a complete text before the stream has
// been silent for StalledTransferMs: they wait.
//
// A model made without the rules for a length alone in the first read
// (lengthAloneRule false) reads every stream as the full model does until
// one of them applies, and reports (TookLengthAlone) when that happens.
//
// Not modelled: settling sooner after a pause that followed a length (the
// fuzz target checks it against this model made quiet at that read), and the
// bound on the work of settling (the receiver's search stays far below it
// on any input).
#pragma once

#include "transfer/TransferLimits.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ReceiverModel {
public:
    // One settled start of transfer: a text for the clipboard, or a refusal.
    struct Outcome {
        bool refused = false;
        std::string text;
    };
    using Outcomes = std::vector<Outcome>;

    explicit ReceiverModel(bool lengthAloneRule = true) : lengthAloneRule_(lengthAloneRule) {}

    // A read, `gapMs` after the one before it.
    Outcomes Feed(std::string_view bytes, std::int64_t gapMs);
    // The stream has been silent for long enough.
    Outcomes Quiet();
    // ... and for so long that a text being received is dropped, and a read
    // of digits alone no longer waits for its text.
    Outcomes Stalled();
    void Reset();

    bool Receiving() const { return receiving_; }
    std::int64_t Expected() const { return receiving_ ? expected_ : 0; }
    std::int64_t Received() const { return receiving_ ? static_cast<std::int64_t>(text_.size()) : 0; }
    bool Waiting() const { return !waiting_.empty(); }
    // A quiet settle has met a length alone in the first read, its text
    // still coming (taken with the rule, not without it).
    bool TookLengthAlone() const { return tookLengthAlone_; }

private:
    struct Length {
        std::int64_t value;
        std::size_t digits;
    };
    struct Choice {
        enum class Kind { Wait, Refuse, Take } kind = Kind::Wait;
        Length length{0, 0};
        bool lengthAlone = false; // the rule for a length alone applies
    };

    struct Lengths {
        std::array<Length, MaxLengthDigits> list{};
        std::size_t count = 0;
        const Length* begin() const { return list.data(); }
        const Length* end() const { return list.data() + count; }
    };

    Lengths LengthsAt(std::size_t at) const;
    bool AtReadEnd(std::size_t at) const;
    bool MoreDigitsMayCome() const;
    Choice Choose(bool quiet, bool stalled) const;
    Choice ChooseByRules(bool quiet) const;
    void Settle(Outcomes& outcomes, bool quiet, bool stalled = false);

    // Scratch for Choose, kept to spare an allocation per read.
    mutable std::vector<char> open_;
    mutable std::vector<char> whole_;

    std::string waiting_; // bytes of a start of transfer not yet settled
    std::vector<std::size_t> readEnds_; // offsets in waiting_ where a read ended
    std::vector<std::int64_t> gapsAfter_; // beside each: ms until the next read
    bool waitingStartsRead_ = true;     // waiting_ begins where a read began
    bool lengthAloneRule_;
    bool tookLengthAlone_ = false;
    std::string text_;    // the text of the transfer being received
    std::int64_t expected_ = 0;
    bool receiving_ = false;
};
