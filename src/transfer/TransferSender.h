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
// The sender holds no text of its own. A peer is owed "the current text",
// which the clipboard watcher keeps (LastText) and the sender reads through `text` at
// the moment a transfer starts: while a text is still leaving (the
// connection has bytes of an earlier send waiting) or the pace holds the
// next start back, a newer text simply takes the place of the one owed, and
// only the newest goes. Between a transfer's length and its text the current
// text must stay as it is; a caller that must change it then calls
// KeepWaitingTexts first, which copies the text of every transfer in its
// wait. Called on the event loop's thread only.
#pragma once

#include "base/EventLoop.h"
#include "transfer/TransferLimits.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

    // `text`: the current text. `now`: milliseconds on a steady clock.
    TransferSender(std::function<std::string_view()> text, Clock now = SteadyClockMs, EventLoop& loop = MainLoop());
    ~TransferSender();
    TransferSender(const TransferSender&) = delete;
    TransferSender& operator=(const TransferSender&) = delete;

    // The current text is owed to the connection `key` (any stable address
    // naming it): its transfer starts now if it may, else at the first
    // moment it may (a Pump after the connection drained).
    void Offer(const void* key, Connection connection);
    // Starts every owed transfer that may start now: after a connection
    // took all its waiting bytes, and on every watcher tick.
    void Pump();
    // A received text replaces the current text: what is owed and has not
    // started is dropped (the peer's text is newer), and a transfer in its
    // wait keeps a copy of its text.
    void DropOwed();
    void KeepWaitingTexts();

    // Some transfer is between its length and its text.
    bool Waiting() const;
    // The connection `key` is owed the current text, or is between its
    // length and its text.
    bool Pending(const void* key) const;
    // The earliest moment every known peer may take a new transfer.
    std::int64_t NextStartMs() const;

private:
    struct Peer {
        Connection connection;
        bool owed = false;
        std::optional<std::int64_t> lastStart;
        bool waiting = false;
        std::size_t waitingBytes = 0;        // the count its length announced
        std::optional<std::string> kept;     // its text, once the current one changed
        TimerId timer = 0;
    };

    void Step(const void* key);
    void Start(const void* key, Peer& peer);
    void FinishWait(const void* key);
    // False when the loop has no timer to give.
    bool Arm(const void* key, Peer& peer, std::int64_t delayMs);
    void Disarm(Peer& peer);
    // The peer, or null when its connection is gone (the entry is then dropped).
    Peer* Find(const void* key);

    std::function<std::string_view()> text_;
    Clock now_;
    EventLoop& loop_;
    std::map<const void*, Peer> peers_;
};
