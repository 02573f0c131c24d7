// TransferSender: when the bytes of each transfer leave for each peer.
//
// A transfer is the length's send, a short wait (LengthWaitMs), then the
// text's send: a peer that takes everything readable at its first read after
// readiness as the length then finds the length alone, as long as it reads
// within the wait. Two transfers to one peer start at least TransferPaceMs
// apart, so that the next length never joins the end of a text at such a
// peer either. Both waits run on the event loop's timers; nothing blocks.
// A connection that is not paced (the encrypted link, whose records mark
// each send's end and whose peer is always this program) has neither: the
// text follows its length at once, and a transfer starts as soon as the one
// before has left.
//
// Each offer hands the sender the text itself, shared and never changed, so
// a text owed to many peers is held once, by the caller and every peer that
// still needs it. The text goes to the connection a piece at a time
// (TextPieceBytes), the next piece once the connection has taken the last,
// so that a connection's own queue never holds a second copy of it.
// While a text is still leaving (pieces not handed over, or the connection
// has bytes of an earlier send waiting) or the pace holds the next start
// back, a newer text simply takes the place of the one owed, and only the
// newest goes; a transfer between its length and its text keeps its own
// text. Called on the event loop's thread only.
#pragma once

#include "base/EventLoop.h"
#include "transfer/TransferLimits.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The most of a text handed to a connection at once.
inline constexpr std::size_t TextPieceBytes = std::size_t{256} * 1024;

// Milliseconds on the steady clock.
std::int64_t SteadyClockMs();

class TransferSender {
public:
    // One connection as the sender sees it.
    struct Connection {
        // Expires when the connection object goes; its entry is then dropped.
        std::weak_ptr<void> life;
        // One send of these bytes; may end the connection.
        std::function<void(std::string_view)> send;
        // Bytes of an earlier send still wait to leave.
        std::function<bool()> busy;
        // The wait after a length and the pace between transfers apply.
        bool paced = true;
    };
    using Clock = std::function<std::int64_t()>;
    using Text = std::shared_ptr<const std::string>;

    // `now`: milliseconds on a steady clock.
    explicit TransferSender(Clock now = SteadyClockMs, EventLoop& loop = MainLoop());
    ~TransferSender();
    TransferSender(const TransferSender&) = delete;
    TransferSender& operator=(const TransferSender&) = delete;

    // `text` is owed to the connection `key` (any stable address naming it),
    // in place of any text owed to it before: its transfer starts now if it
    // may, else at the first moment it may (a Pump after the connection
    // drained).
    void Offer(const void* key, Connection connection, Text text);
    // Starts every owed transfer that may start now: after a connection
    // took all its waiting bytes, and on every watcher tick.
    void Pump();
    // A received text is newer than anything owed: what has not started is
    // dropped; a transfer in its wait goes on.
    void DropOwed();

    // Some transfer is between its length and its text.
    bool Waiting() const;
    // The connection `key` is owed a text, or one of its texts has not all
    // been handed to it.
    bool Pending(const void* key) const;
    // The earliest moment every known peer may take a new transfer.
    std::int64_t NextStartMs() const;
    // When the last transfer to `key` started; nothing when none did.
    std::optional<std::int64_t> LastStartMs(const void* key) const;

private:
    struct Peer {
        Connection connection;
        Text owed;                      // not started yet
        Text waiting;                   // its length sent, the text to follow
        Text leaving;                   // the text going out piece by piece
        std::size_t leftBytes = 0;      // of `leaving`, handed to the connection
        std::optional<std::int64_t> lastStart;
        TimerId timer = 0;
    };

    void Step(const void* key);
    void Start(const void* key, Peer& peer);
    void FinishWait(const void* key);
    // Hands the connection the next pieces of the text leaving while it
    // takes them; true once the whole text has been handed over.
    bool Feed(const void* key);
    // False when the loop has no timer to give.
    bool Arm(const void* key, Peer& peer, std::int64_t delayMs);
    void Disarm(Peer& peer);
    // The peer, or null when its connection is gone (the entry is then dropped).
    Peer* Find(const void* key);

    Clock now_;
    EventLoop& loop_;
    std::map<const void*, Peer> peers_;
};
