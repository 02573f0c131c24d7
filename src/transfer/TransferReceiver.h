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
// complete, and any bytes beyond it start the next transfer. Where the length
// ends when it shares a read with the text, or a length's digits are split
// across reads, is settled by LengthResolver; until then the bytes wait
// there, no length is known and the counts stay 0. A start of transfer that
// cannot be read is reported as a failure and its bytes are dropped; the
// clipboard is not touched and the next bytes start afresh.
//
// When the connection ends, the window calls Reset: the unfinished transfer
// is dropped, and the next connection starts with a clean receiver.
#pragma once

#include "LengthResolver.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TransferEvent {
    enum class Kind {
        Progress,  // `received` of `expected` bytes are here (ProgressText)
        Failed,    // a start of transfer was refused (TransferErrorText)
        Completed, // `text` is a whole transfer, for the clipboard
    };
    Kind kind = Kind::Progress;
    std::int32_t received = 0;
    std::int32_t expected = 0;
    std::string text;
};

using TransferEvents = std::vector<TransferEvent>;

class TransferReceiver {
public:
    TransferEvents Feed(std::string_view bytes, std::int64_t nowMs);
    // Settles a start of transfer that has waited QuietResolveMs since the
    // last bytes arrived. Cheap when there is nothing to settle.
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
    void Settle(TransferEvents& events, bool quiet);
    void Complete(TransferEvents& events);

    LengthResolver header_;
    std::string text_;
    std::int32_t expected_ = 0;
    std::int32_t received_ = 0;
    bool receiving_ = false;
    std::int64_t lastBytesMs_ = 0;
};
