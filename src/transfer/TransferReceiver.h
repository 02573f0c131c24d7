// TransferReceiver: turns the bytes arriving on one connection into texts.
//
// The window feeds it the bytes of every read event of the connection that
// carries transfers to it, with the time, and calls Poll on every tick of its
// watcher timer; it gets back what to show and what to put on the clipboard,
// in order. The receiver holds no socket and no timer, so it is driven
// entirely by its caller.
//
// A transfer is a decimal length and then that many bytes (see WireFormat.h).
// Once the length is known, bytes are counted into the text until it is
// complete, and any bytes beyond it start the next transfer.
//
// Read boundaries are no frame: the length may arrive alone, split over
// reads, or joined to its text or to a whole following transfer. So the
// bytes at a start of transfer wait in a LengthResolver (no length known, the
// counts still 0), which is told where each read ended, until only one length
// for them is possible: a length is possible when the bytes after its text
// can in turn be read as transfers, the last one allowed to be unfinished.
// "5hello" is settled at once, and so is "0"; "5" waits, as "50" may follow.
// When a text beginning with digits keeps several lengths possible ("3123": 3
// and "123", or 31 and more to come), the receiver waits for more bytes, and
// once the sender has been silent for QuietResolveMs settles them by the
// quiet rules (a read of digits alone waits up to StalledTransferMs, as its
// text may be late); a pause after a read that ended with a length lets that
// length's text be settled as soon as it is complete, as the quiet rules
// would settle it. LengthResolver.h states the rules, numbered in the order
// they apply. Bytes no length fits, ambiguity that the rules do not settle,
// and bytes that run past every possible length's text undecided or cost too
// much to examine (see TransferLimits.h) are refused: a failure is reported,
// the bytes are dropped, the clipboard is not touched and the next bytes
// start afresh.
//
// A text that stops coming for StalledTransferMs is dropped with a failure,
// and the next bytes start afresh.
//
// Of the transfers one call (a read, or a quiet spell) completes, only the
// last is reported for the clipboard, the others counted as passed over:
// each would at once replace the one before it, and a burst of thousands of
// tiny transfers in one read must not cost thousands of clipboard changes.
// Likewise only the last progress of a call is reported.
//
// When the connection ends, the window calls Reset: the unfinished transfer
// is dropped, and the next connection starts with a clean receiver.
#pragma once

#include "transfer/LengthResolver.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TransferEvent {
    enum class Kind {
        Progress,  // `received` of `expected` bytes are here
        Failed,    // a start of transfer was refused
        Completed, // `text` is a whole transfer, for the clipboard
    };
    Kind kind = Kind::Progress;
    std::int32_t received = 0;
    std::int32_t expected = 0;
    std::string text;
    // Completed: the whole transfers before this one that the same call
    // completed and passes over, and their bytes on the wire.
    std::int32_t passedOver = 0;
    std::size_t passedOverBytes = 0;
};

using TransferEvents = std::vector<TransferEvent>;

class TransferReceiver {
public:
    // `endsWrite`: the connection knows that the read ends where a send of
    // the peer's ended (the encrypted link's records say so). The next read
    // then counts as coming after a pause of at least LengthPauseMs: it is
    // the same evidence that a plain sender's wait after its length gives.
    TransferEvents Feed(std::string_view bytes, std::int64_t nowMs, bool endsWrite = false);
    // Settles a start of transfer that has waited QuietResolveMs since the
    // last bytes arrived, and drops, as failed, a text that has had no byte
    // for StalledTransferMs (InTransfer is false after it). Cheap when there
    // is nothing to settle.
    TransferEvents Poll(std::int64_t nowMs);
    void Reset();

    // The announced length of the transfer coming in; 0 while none is known.
    std::int32_t ExpectedSize() const { return expected_; }
    // Its bytes here so far; 0 while no length is known.
    std::int32_t ReceivedSize() const { return received_; }
    // A length is known and its text is coming in.
    bool Receiving() const { return receiving_; }
    // Receiving, or bytes of a start of transfer are waiting to be settled.
    bool InTransfer() const { return receiving_ || !header_.Empty(); }

private:
    void Settle(TransferEvents& events, std::int64_t quietMs);
    void Complete(TransferEvents& events);
    static void Report(TransferEvents& events, TransferEvent event);

    LengthResolver header_;
    std::string text_;
    std::int32_t expected_ = 0;
    std::int32_t received_ = 0;
    bool receiving_ = false;
    std::int64_t lastBytesMs_ = 0;
    bool lastReadEndedWrite_ = false;
};
