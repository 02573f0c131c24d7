// TForm1's client that keeps trying while its Connect stands: the attempts,
// each one's deadline and the waits between them (ReconnectPolicy); a
// connection made afresh when it ended other than by the user, on resume from
// suspend and when the network comes back; and the texts a lost connection
// may not have delivered, sent again on the next one.
#include "app/Unit1.h"

#include "app/LinkWatcher.h"

#include <algorithm>
#include <utility>

namespace {

// How long a client holds its own texts back after connecting: a server
// sends what it owes on its next watcher tick, and a text of the server's
// that arrives in this time wins over the client's, so that both machines end with the same
// text when both copied while the link was down.
constexpr std::int64_t ClientHoldMs = 1000;
// The next attempt "at once": from the loop, after the teardown that told of
// the end has closed the socket.
constexpr std::int64_t AtOnceMs = 1;

} // namespace

void TForm1::BindTrying()
{
    retryTimer_.SetEnabled(false);
    retryTimer_.SetOnTimer([this] { Attempt(); });
    attemptTimer_.SetEnabled(false);
    attemptTimer_.SetInterval(AttemptTimeoutMs);
    attemptTimer_.SetOnTimer([this] { AttemptTimedOut(); });
    clientSocket1_.OnConnecting = [this](TObject* s, TCustomWinSocket* c) { ClientSocket1Connecting(s, c); };
}

void TForm1::WatchLink()
{
    if (!keepTrying_ || linkWatcher_) return;
    linkWatcher_ = std::make_unique<LinkWatcher>([this] { RunGuarded([this] { CheckLinkNow(); }); },
                                                 [this] { RunGuarded([this] { NetworkReachable(); }); });
}

void TForm1::StartTrying()
{
    if (!keepTrying_) {
        clientSocket1_.SetActive(true);
        return;
    }
    reconnect_.Start(SteadyClockMs());
    Attempt();
}

void TForm1::StopTrying()
{
    const ReconnectPolicy::State state = reconnect_.Current();
    if (state == ReconnectPolicy::State::Attempting || state == ReconnectPolicy::State::Waiting) {
        // An attempt under way ends with the trying, so that it cannot
        // connect later; as a failed one, its end leaves the controls to the
        // caller.
        reconnect_.Failed(SteadyClockMs());
        clientSocket1_.ClientConnection()->CloseConnection();
    }
    reconnect_.Stop();
    retryTimer_.SetEnabled(false);
    attemptTimer_.SetEnabled(false);
}

void TForm1::Attempt()
{
    retryTimer_.SetEnabled(false);
    reconnect_.Attempt();
    try {
        clientSocket1_.SetActive(true);
    } catch (const ESocketError&) {
        // A connect that fails at once (no route while the link is down) is
        // a failed attempt like any other.
        AttemptFailed();
    }
}

void TForm1::ClientSocket1Connecting(TObject*, TCustomWinSocket*)
{
    if (reconnect_.Current() != ReconnectPolicy::State::Attempting) return;
    attemptTimer_.SetEnabled(false);
    attemptTimer_.SetEnabled(true);
}

void TForm1::AttemptFailed()
{
    if (reconnect_.Current() != ReconnectPolicy::State::Attempting) return;
    attemptTimer_.SetEnabled(false);
    retryTimer_.SetEnabled(false);
    retryTimer_.SetInterval(static_cast<int>(reconnect_.Failed(SteadyClockMs())));
    retryTimer_.SetEnabled(true);
}

void TForm1::AttemptTimedOut()
{
    attemptTimer_.SetEnabled(false);
    if (reconnect_.Current() != ReconnectPolicy::State::Attempting) return;
    AttemptFailed();
    // The unanswered connect is given up; its disconnect is the failure's.
    clientSocket1_.ClientConnection()->CloseConnection();
}

void TForm1::ConnectionDropped()
{
    const std::int64_t waitMs = reconnect_.Dropped(SteadyClockMs());
    SetPanelText(MessagePanel, "sending heartbeat...");
    retryTimer_.SetEnabled(false);
    retryTimer_.SetInterval(static_cast<int>(std::max(waitMs, AtOnceMs)));
    retryTimer_.SetEnabled(true);
}

void TForm1::CheckLinkNow()
{
    switch (reconnect_.Current()) {
    case ReconnectPolicy::State::Idle:
        return;
    case ReconnectPolicy::State::Connected:
        // The peer may have gone while this machine slept, and keepalive
        // would take a minute to tell: the connection is made afresh, and
        // what it may not have delivered goes again.
        clientSocket1_.ClientConnection()->CloseConnection();
        return;
    case ReconnectPolicy::State::Attempting:
    case ReconnectPolicy::State::Waiting:
        Attempt();
        return;
    }
}

void TForm1::NetworkReachable()
{
    if (reconnect_.Current() == ReconnectPolicy::State::Waiting) Attempt();
}

bool TForm1::ClientLinkReady() const
{
    return clientLinkUp_ && SteadyClockMs() >= clientLinkUpMs_ + ClientHoldMs;
}

void TForm1::ResendToServer()
{
    if (!resendOnLink_ || Mode != 2 || !ClientLinkReady() || receiver_.InTransfer()) return;
    resendOnLink_ = false;
    OfferToPeers();
}

// Called while the ended connection's socket is still open: the system
// still counts the bytes the peer did not acknowledge, also after a reset
// or a time-out. A text owed or half sent has not arrived either.
void TForm1::NoteLinkLost(TCustomWinSocket* connection)
{
    if (ownTextSent_ && (sender_.Pending(connection) || connection->UnacknowledgedBytes() > 0)) resendOnLink_ = true;
}

void TForm1::ResendUndelivered(TCustomWinSocket* connection)
{
    if (!std::exchange(resendOnLink_, false)) return;
    sender_.Offer(connection, SenderConnection(connection), watcher_.SharedLastText());
}
