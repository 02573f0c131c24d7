// LengthResolver: finds where the announced length ends at the start of a
// transfer, when the bytes on the wire do not say.
//
// A sender puts the length and the text into two sends, but TCP may hand them
// over in one read, or join a transfer to the next. A length joined to a text
// that begins with digits is ambiguous: "3123" is 3 and "123", or 31 and the
// first two of its bytes, or a longer length still arriving. This class holds
// the bytes of a start of transfer and settles the question from the bytes
// alone, as far as they allow.
//
// A "reading" of the buffered bytes splits them into transfers, each a length
// (decimal digits, no leading zero except a lone "0", at most
// MaxTransferBytes) followed by that many text bytes. Only the last transfer
// of a reading may be unfinished: its text not all here yet, or, when the
// bytes end in digits, its length still arriving. A length for the first
// transfer is a candidate when some reading of all the buffered bytes starts
// with it; "the length is still arriving" is one more candidate when every
// buffered byte is a digit and a longer length could follow.
//
//   - no candidate: the bytes are no transfer; they are dropped (Fail);
//   - one candidate, and it is a length: Take it;
//   - several: Wait for more bytes, which usually rule all but one out (a
//     length whose text would end inside the bytes survives only if a
//     further reading starts where that text ends).
//
// Ambiguity left when the sender has gone quiet is settled by DecideQuiet:
// the sender has sent everything, so the true reading is one whose every
// transfer is complete and which ends exactly at the last byte. If exactly
// one candidate has such a reading it is taken; otherwise the bytes are
// dropped. Waiting is bounded too: bytes piling up HeaderSlackBytes past the
// end of the longest candidate's text, still undecided, are dropped, so the
// resolver never holds much more than one text (no more than a plain length
// may claim) plus one read; and so are bytes whose examination costs more
// than ResolveWorkPerByte allows. The bound is the longest candidate's, not
// the shortest's: a long text that begins with digits keeps a short length
// followed by transfers of its own digits in question until its last byte is
// here, and giving up earlier would drop a text its sender sent correctly.
//
// Whether a reading starts at an offset depends only on the bytes from there
// on, so answers are remembered per offset and each offset is examined once
// per arrival of bytes; an offset from which no reading starts stays so for
// good, and one whose known reading still runs past the end is not examined
// again. Owned by TransferReceiver.
#pragma once

#include "TransferLimits.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class LengthResolver {
public:
    struct Decision {
        enum class Kind { Wait, Fail, Take };
        Kind kind = Kind::Wait;
        std::size_t digits = 0;  // Take: how many bytes the length has
        std::int32_t length = 0; // Take: the number it announces
    };

    void Append(std::string_view bytes);
    // Drops the first `count` bytes (a settled transfer); what follows is a
    // new start of transfer.
    void Consume(std::size_t count);
    void Clear();
    // Lets go of the bytes of settled transfers; for when settling pauses.
    void Compact();

    bool Empty() const { return base_ == buffer_.size(); }
    std::string_view Bytes() const { return std::string_view(buffer_).substr(base_); }

    Decision Decide();
    // For bytes on which Decide waits, after the stream has gone quiet.
    Decision DecideQuiet();

private:
    // The lengths that may begin at one offset, shortest first.
    struct Lengths {
        int count = 0;
        std::array<std::int32_t, MaxLengthDigits> values{};
        std::array<std::size_t, MaxLengthDigits> ends{};  // offset just past each one's text
        bool stillArriving = false; // the digits run to the end and may go on
    };
    struct Mark {
        bool readable = false;
        std::size_t validUntil = 0; // holds while the buffer is no longer
    };

    Lengths LengthsAt(std::size_t offset) const;
    bool Readable(std::size_t offset);
    const Mark* Known(std::size_t offset) const;

    std::string buffer_;
    std::size_t base_ = 0;
    std::unordered_map<std::size_t, Mark> marks_;
    std::size_t bytesSeen_ = 0;
    std::size_t work_ = 0;
    // For DecideQuiet, by offset: the bytes from there split into complete
    // transfers ending exactly at the end. Holds while the buffer is unchanged.
    std::vector<bool> whole_;
};
