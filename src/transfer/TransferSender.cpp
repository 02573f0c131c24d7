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

TransferSender::TransferSender(Clock now, EventLoop& loop) : now_(std::move(now)), loop_(loop)
{
}

TransferSender::~TransferSender()
{
    for (auto& [key, peer] : peers_) Disarm(peer);
}

void TransferSender::Offer(const void* key, Connection connection, Text text)
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
    peer.owed = std::move(text);
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
    for (auto& [key, peer] : peers_) {
        peer.owed.reset();
        if (!peer.waiting) Disarm(peer);
    }
}

bool TransferSender::Waiting() const
{
    return std::any_of(peers_.begin(), peers_.end(), [](const auto& entry) { return entry.second.waiting != nullptr; });
}

std::optional<std::int64_t> TransferSender::LastStartMs(const void* key) const
{
    const auto it = peers_.find(key);
    return it == peers_.end() ? std::nullopt : it->second.lastStart;
}

bool TransferSender::Pending(const void* key) const
{
    const auto it = peers_.find(key);
    return it != peers_.end() && (it->second.owed || it->second.waiting || it->second.leaving);
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
    if (!Feed(key)) return;
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
    const Text text = std::move(peer.owed);
    peer.lastStart = now_();
    if (!text->empty()) peer.waiting = text;
    // A copy of the send: it may end the connection, and its entry with it,
    // on the way.
    const auto send = peer.connection.send;
    send(MakeTransferPieces(*text).length);
    Peer* still = Find(key);
    if (still == nullptr || !still->waiting) return;
    // Without a timer the text follows at once rather than never.
    if (!still->connection.paced || !Arm(key, *still, LengthWaitMs)) FinishWait(key);
}

void TransferSender::FinishWait(const void* key)
{
    Peer* peer = Find(key);
    if (peer == nullptr || !peer->waiting) return;
    peer->leaving = std::move(peer->waiting);
    peer->leftBytes = 0;
    // Then a newer text owed meanwhile, at the pace.
    Step(key);
}

bool TransferSender::Feed(const void* key)
{
    for (;;) {
        Peer* peer = Find(key);
        if (peer == nullptr) return false;
        if (!peer->leaving) return true;
        if (peer->connection.busy()) return false;
        // Held here: the send may end the connection, and its entry with it.
        const Text text = peer->leaving;
        const std::size_t size = std::min(text->size() - peer->leftBytes, TextPieceBytes);
        const std::string_view piece(text->data() + peer->leftBytes, size);
        peer->leftBytes += size;
        if (peer->leftBytes == text->size()) peer->leaving.reset();
        const auto send = peer->connection.send;
        send(piece);
    }
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
