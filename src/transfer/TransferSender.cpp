#include "transfer/TransferSender.h"

#include "transfer/WireFormat.h"

#include <algorithm>
#include <chrono>
#include <vector>

std::int64_t SteadyClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TransferSender::TransferSender(std::function<std::string_view()> text, Clock now, EventLoop& loop)
    : text_(std::move(text)), now_(std::move(now)), loop_(loop)
{
}

TransferSender::~TransferSender()
{
    for (auto& [key, peer] : peers_) Disarm(peer);
}

void TransferSender::Offer(const void* key, Connection connection)
{
    // A new connection at the address of one that is gone starts afresh:
    // nothing of the old one's transfer may reach it.
    if (Peer* known = Find(key);
        known != nullptr && (known->connection.life.owner_before(connection.life) ||
                             connection.life.owner_before(known->connection.life))) {
        Disarm(*known);
        peers_.erase(key);
    }
    Peer& peer = peers_[key];
    peer.connection = std::move(connection);
    peer.owed = true;
    Step(key);
}

void TransferSender::Pump()
{
    std::vector<const void*> keys;
    keys.reserve(peers_.size());
    for (const auto& entry : peers_) keys.push_back(entry.first);
    for (const void* key : keys) Step(key);
}

void TransferSender::DropOwed()
{
    KeepWaitingTexts();
    for (auto& [key, peer] : peers_) {
        peer.owed = false;
        if (!peer.waiting) Disarm(peer);
    }
}

void TransferSender::KeepWaitingTexts()
{
    for (auto& [key, peer] : peers_) {
        if (peer.waiting && !peer.kept) peer.kept = std::string(text_());
    }
}

bool TransferSender::Waiting() const
{
    return std::any_of(peers_.begin(), peers_.end(), [](const auto& entry) { return entry.second.waiting; });
}

bool TransferSender::Pending(const void* key) const
{
    const auto it = peers_.find(key);
    return it != peers_.end() && (it->second.owed || it->second.waiting);
}

std::int64_t TransferSender::NextStartMs() const
{
    std::int64_t next = now_();
    for (const auto& [key, peer] : peers_) {
        if (peer.connection.life.expired() || !peer.connection.paced) continue;
        if (peer.lastStart) next = std::max(next, *peer.lastStart + TransferPaceMs);
    }
    return next;
}

TransferSender::Peer* TransferSender::Find(const void* key)
{
    const auto it = peers_.find(key);
    if (it == peers_.end()) return nullptr;
    if (it->second.connection.life.expired()) {
        Disarm(it->second);
        peers_.erase(it);
        return nullptr;
    }
    return &it->second;
}

void TransferSender::Step(const void* key)
{
    Peer* peer = Find(key);
    if (peer == nullptr || peer->waiting || !peer->owed) return;
    const std::int64_t now = now_();
    if (peer->connection.paced && peer->lastStart && now < *peer->lastStart + TransferPaceMs) {
        Arm(key, *peer, *peer->lastStart + TransferPaceMs - now);
        return;
    }
    // The text before still leaving: the drain's Pump comes back here.
    if (peer->connection.busy()) return;
    Start(key, *peer);
}

void TransferSender::Start(const void* key, Peer& peer)
{
    Disarm(peer);
    const std::string_view text = text_();
    peer.owed = false;
    peer.lastStart = now_();
    peer.waiting = !text.empty();
    peer.waitingBytes = text.size();
    peer.kept.reset();
    // A copy of the send: it may end the connection, and its entry with it,
    // on the way.
    const auto send = peer.connection.send;
    send(MakeTransferPieces(text).length);
    Peer* still = Find(key);
    if (still == nullptr || !still->waiting) return;
    // Without a timer the text follows at once rather than never.
    if (!still->connection.paced || !Arm(key, *still, LengthWaitMs)) FinishWait(key);
}

void TransferSender::FinishWait(const void* key)
{
    Peer* peer = Find(key);
    if (peer == nullptr || !peer->waiting) return;
    peer->waiting = false;
    const std::optional<std::string> kept = std::move(peer->kept);
    peer->kept.reset();
    const auto send = peer->connection.send;
    if (kept) {
        send(*kept);
    } else {
        send(text_());
    }
    // A newer text owed meanwhile goes at the pace.
    Step(key);
}

bool TransferSender::Arm(const void* key, Peer& peer, std::int64_t delayMs)
{
    Disarm(peer);
    const int interval = static_cast<int>(std::max<std::int64_t>(delayMs, 1));
    peer.timer = loop_.StartTimer(interval, [this, key] {
        Peer* armed = Find(key);
        if (armed == nullptr) return;
        Disarm(*armed);
        if (armed->waiting) {
            FinishWait(key);
        } else {
            Step(key);
        }
    });
    return peer.timer != 0;
}

void TransferSender::Disarm(Peer& peer)
{
    if (peer.timer == 0) return;
    loop_.StopTimer(peer.timer);
    peer.timer = 0;
}
