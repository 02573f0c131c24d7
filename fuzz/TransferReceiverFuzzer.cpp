// Fuzz target: TransferReceiver on arbitrary byte streams cut into arbitrary
// reads, with quiet spells, a connection reset, and a real transfer after it.
//
// Input layout (short enough to write seeds by hand):
//   [n] [n+1 cut bytes] [text length t] [garbage ...] [last t bytes: the text]
// Cut byte c: a read of (c & 0x3f) + 1 bytes; with 0x40 set it comes
// LengthPauseMs after the read before (else 1 ms); with 0x80 set the stream
// then goes quiet and the receiver is polled past QuietResolveMs, and with
// both set polled again at StalledTransferMs. The cuts are used in turn,
// over and over.
//
// Phase 1 feeds the garbage. After every call the receiver must have settled
// the stream as ReceiverModel does (inputs of up to ModelledInputBytes), or,
// once a pause has followed a read of the start of transfer, as the model
// would if the stream went quiet after the read: sooner, never otherwise. The
// model in turn must settle it as the same model without the rules for a
// length alone in the first read, up to the first time such a rule applies.
// The receiver
// must also always account for every byte: a completed text is exactly the
// bytes that followed its own length, a refusal drops what was pending, and a
// known length sits at the front of what is undelivered with its text counted
// after it. Its heap (measured through the sanitizer allocator) must stay
// within the text announced and here plus what is still pending, and fall to
// nothing once nothing is pending.
// Phase 2 resets the receiver (the connection ended), then sends the text as
// a sender does: its length (never paused inside), the text, then quiet; a
// first read that is the whole length and has 0x80 set is followed by the
// network holding the text back until just before StalledTransferMs. The
// outcome must match a new receiver's exactly: the text whole, or (when the
// joined bytes are truly ambiguous: other complete transfers fit them too)
// one refusal; never a stall. Other texts only when the reads also cut the
// length in two, so that a shorter length ended where a read did, as a real
// one would. A read of digits alone that starts a start of transfer may be
// taken for a length that came alone: the transfer then waits for its text
// until StalledTransferMs drops it, with a failure at the end.

#include "FuzzCheck.h"
#include "ReceiverModel.h"
#include "base/SysUtils.h"
#include "transfer/TransferLimits.h"
#include "transfer/TransferReceiver.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Room for what any receiver holds however little is pending: the bucket
// arrays and bookkeeping of empty containers.
constexpr std::size_t FixedSlackBytes = 512;
// Per byte not yet settled: the byte itself, growth headroom of its buffer,
// and what the receiver remembers about offsets within it.
constexpr std::size_t PendingByteFactor = 64;

// The model rereads all waiting bytes on every read; past this input size it
// would slow the target more than it adds.
constexpr std::size_t ModelledInputBytes = 1024;

constexpr unsigned QuietFlag = 0x80;
constexpr unsigned PauseFlag = 0x40;
constexpr unsigned ReadSizeMask = 0x3f;
constexpr std::int64_t ReadIntervalMs = 1;

std::string_view input;

std::string Show(const TransferEvent& event)
{
    switch (event.kind) {
    case TransferEvent::Kind::Progress:
        return "progress " + IntToStr(event.received) + "/" + IntToStr(event.expected);
    case TransferEvent::Kind::Failed:
        return "failed";
    case TransferEvent::Kind::Completed:
        return "completed \"" + fuzzcheck::Printable(event.text, 60) + "\"";
    }
    return "?";
}

template <typename Detail>
void Expect(bool holds, std::string_view what, Detail detail)
{
    fuzzcheck::Expect(holds, what, [&] { return detail() + "\n    input \"" + fuzzcheck::Printable(input, 300) + "\""; });
}

struct Cuts {
    std::vector<unsigned char> bytes;
    std::size_t next = 0;

    unsigned char Next() { return bytes[next++ % bytes.size()]; }
};

bool SameOutcomes(const ReceiverModel::Outcomes& a, const ReceiverModel::Outcomes& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const auto& x, const auto& y) { return x.refused == y.refused && x.text == y.text; });
}

// The rules, beside the same rules without those that take a length alone in
// the first read of a start of transfer while its text is still coming. Both
// settle every stream alike up to the first time such a rule applies; from
// there on only the full rules are followed.
struct Rules {
    ReceiverModel full;
    ReceiverModel lacking{false};
    bool apart = false;

    template <typename Step>
    ReceiverModel::Outcomes Run(Step step)
    {
        ReceiverModel::Outcomes outcomes = step(full);
        if (apart) return outcomes;
        const ReceiverModel::Outcomes without = step(lacking);
        apart = lacking.TookLengthAlone();
        Expect(apart || SameOutcomes(outcomes, without), "settled as the rules without a length alone",
               [] { return std::string("they differ where no length came alone"); });
        return outcomes;
    }
};

// A receiver with the bookkeeping that checks it, and the time it is fed at.
class Probe {
public:
    Probe(std::size_t streamBytes, bool modelled) : modelled_(modelled) { stream_.reserve(streamBytes); }

    TransferReceiver& Receiver() { return receiver_; }
    const TransferEvents& Events() const { return all_; }
    std::int64_t Now() const { return nowMs_; }

    // A read; `afterPause`: it comes LengthPauseMs after the one before.
    // Once a start of transfer has seen such a pause (or a longer silence
    // it waited through), the receiver may settle
    // it sooner than the rules, but only as they would, were the stream to go
    // quiet right after this read; the rules then carry on from there.
    void Feed(std::string_view bytes, bool afterPause)
    {
        nowMs_ += afterPause ? LengthPauseMs : ReadIntervalMs;
        const std::int64_t gapMs = nowMs_ - lastBytesMs_;
        lastBytesMs_ = nowMs_;
        lastRead_ = bytes.size();
        stream_.append(bytes);
        const auto step = [&] { return receiver_.Feed(bytes, nowMs_); };
        if (!modelled_) return Call(step, {});
        pausedInStart_ = rules_.full.Waiting() && (pausedInStart_ || gapMs >= LengthPauseMs);
        std::optional<Rules> sooner;
        ReceiverModel::Outcomes soonerOutcomes;
        if (pausedInStart_) {
            sooner = rules_;
            soonerOutcomes = sooner->Run([&](ReceiverModel& model) {
                ReceiverModel::Outcomes outcomes = model.Feed(bytes, gapMs);
                const ReceiverModel::Outcomes quiet = model.Quiet();
                outcomes.insert(outcomes.end(), quiet.begin(), quiet.end());
                return outcomes;
            });
        }
        const ReceiverModel::Outcomes outcomes = rules_.Run([&](ReceiverModel& model) { return model.Feed(bytes, gapMs); });
        Call(step, outcomes, sooner ? &*sooner : nullptr, soonerOutcomes);
    }

    // The stream stays silent until `silentMs` after the last read, and the
    // receiver is polled then; from StalledTransferMs on, the stream has
    // stopped for good.
    void GoQuiet(std::int64_t silentMs = QuietResolveMs)
    {
        nowMs_ = std::max(nowMs_, lastBytesMs_ + silentMs);
        const bool stalled = nowMs_ - lastBytesMs_ >= StalledTransferMs;
        const ReceiverModel::Outcomes outcomes =
            modelled_ ? rules_.Run([&](ReceiverModel& model) { return stalled ? model.Stalled() : model.Quiet(); })
                      : ReceiverModel::Outcomes();
        Call([&] { return receiver_.Poll(nowMs_); }, outcomes);
    }
    void Stall() { GoQuiet(StalledTransferMs); }

    void Reset()
    {
        rules_ = Rules();
        pausedInStart_ = false;
        const std::size_t before = __sanitizer_get_current_allocated_bytes();
        receiver_.Reset();
        held_ -= static_cast<std::int64_t>(before - __sanitizer_get_current_allocated_bytes());
        stream_.clear();
        consumed_ = 0;
        lastRead_ = 0;
        Expect(!receiver_.InTransfer() && receiver_.ExpectedSize() == 0 && receiver_.ReceivedSize() == 0,
               "reset", [] { return std::string("a transfer is still in progress"); });
        CheckHeld("after Reset");
    }

private:
    // `sooner`: the rules as they would stand had the stream gone quiet
    // right after this call, with what they settled (`soonerOutcomes`).
    template <typename Step>
    void Call(Step step, const ReceiverModel::Outcomes& outcomes, const Rules* sooner = nullptr,
              const ReceiverModel::Outcomes& soonerOutcomes = {})
    {
        const std::size_t before = __sanitizer_get_current_allocated_bytes();
        bool adoptSooner = false;
        {
            const TransferEvents events = step();
            for (const TransferEvent& event : events) Account(event);
            if (modelled_) {
                const std::string disagreement = Disagreement(events, outcomes, rules_.full);
                if (!disagreement.empty() && sooner != nullptr &&
                    Disagreement(events, soonerOutcomes, sooner->full).empty()) {
                    adoptSooner = true;
                } else {
                    Expect(disagreement.empty(), "settled as the rule settles", [&] { return disagreement; });
                }
            }
            const std::size_t first = all_.size();
            all_.insert(all_.end(), events.begin(), events.end());
            for (std::size_t i = first; i < all_.size(); ++i) {
                if (all_[i].text.capacity() > std::string().capacity()) textBytes_ += all_[i].text.capacity() + 1;
            }
        }
        // all_ grows on the harness's account, not the receiver's.
        const std::size_t ours = all_.capacity() * sizeof(TransferEvent) + textBytes_;
        const std::size_t after = __sanitizer_get_current_allocated_bytes();
        held_ += static_cast<std::int64_t>(after - before) - static_cast<std::int64_t>(ours - allBytes_);
        allBytes_ = ours;
        if (adoptSooner) rules_ = *sooner;
        CheckState();
        CheckHeld("after a read or poll");
    }


    // What is wrong with `events` and the receiver's state after them, as
    // `model` settled the same call (`outcomes`); empty when they agree. Of
    // the texts one call settles, only the last is reported; the others are
    // counted as passed over.
    std::string Disagreement(const TransferEvents& events, const ReceiverModel::Outcomes& outcomes,
                             const ReceiverModel& model) const
    {
        ReceiverModel::Outcomes got;
        std::int32_t passedOver = 0;
        for (const TransferEvent& event : events) {
            if (event.kind == TransferEvent::Kind::Failed) got.push_back({true, {}});
            if (event.kind == TransferEvent::Kind::Completed) got.push_back({false, event.text});
            passedOver += event.passedOver;
        }
        ReceiverModel::Outcomes reported;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const bool later = std::any_of(outcomes.begin() + static_cast<std::ptrdiff_t>(i) + 1, outcomes.end(),
                                           [](const auto& o) { return !o.refused; });
            if (outcomes[i].refused || !later) reported.push_back(outcomes[i]);
        }
        const auto show = [](const ReceiverModel::Outcomes& list) {
            std::string shown;
            for (const auto& o : list) shown += o.refused ? "refused; " : "\"" + fuzzcheck::Printable(o.text, 60) + "\"; ";
            return shown;
        };
        const auto state = [](bool receiving, std::int64_t received, std::int64_t expected, bool waiting) {
            return IntToStr(received) + "/" + IntToStr(expected) + (receiving ? " receiving" : "") +
                   (waiting ? " waiting" : "");
        };
        const std::string ours = state(receiver_.Receiving(), receiver_.ReceivedSize(), receiver_.ExpectedSize(),
                                       receiver_.InTransfer() && !receiver_.Receiving());
        const std::string rules = state(model.Receiving(), model.Received(), model.Expected(), model.Waiting());
        const bool same = std::equal(got.begin(), got.end(), reported.begin(), reported.end(),
                                     [](const auto& a, const auto& b) { return a.refused == b.refused && a.text == b.text; });
        if (same && ours == rules && passedOver == static_cast<std::int32_t>(outcomes.size() - reported.size()))
            return {};
        return "receiver: " + show(got) + IntToStr(passedOver) + " passed over, " + ours + "\n    rule: " +
               show(reported) + IntToStr(static_cast<std::int64_t>(outcomes.size() - reported.size())) +
               " passed over, " + rules + "\n    stream \"" + fuzzcheck::Printable(stream_, 200) + "\"";
    }

    std::string_view Pending() const { return std::string_view(stream_).substr(consumed_); }

    void Account(const TransferEvent& event)
    {
        switch (event.kind) {
        case TransferEvent::Kind::Progress:
            Expect(event.received > 0 && event.received <= event.expected && event.expected <= MaxTransferBytes,
                   "progress", [&] { return Show(event); });
            break;
        case TransferEvent::Kind::Failed:
            stream_.clear();
            consumed_ = 0;
            break;
        case TransferEvent::Kind::Completed: {
            consumed_ += std::min(event.passedOverBytes, Pending().size());
            const std::string framed = IntToStr(static_cast<std::int64_t>(event.text.size())) + event.text;
            Expect(Pending().starts_with(framed), "completed text is the bytes after its length", [&] {
                return Show(event) + " but pending \"" + fuzzcheck::Printable(Pending(), 200) + "\"";
            });
            consumed_ += framed.size();
            break;
        }
        }
    }

    void CheckState()
    {
        const std::int32_t expected = receiver_.ExpectedSize();
        const std::int32_t received = receiver_.ReceivedSize();
        const auto counts = [&] { return IntToStr(received) + "/" + IntToStr(expected); };
        if (!receiver_.Receiving()) {
            Expect(expected == 0 && received == 0, "idle counts", counts);
            return;
        }
        Expect(receiver_.InTransfer() && expected > 0 && received >= 0 && received < expected &&
                   expected <= MaxTransferBytes,
               "receiving counts", counts);
        // While a text comes in, everything undelivered is its length and
        // the bytes counted after it; nothing else is waiting.
        const std::string length = IntToStr(expected);
        Expect(Pending().starts_with(length) && Pending().size() == length.size() + static_cast<std::size_t>(received),
               "receiving accounts for every byte",
               [&] { return counts() + " but pending \"" + fuzzcheck::Printable(Pending(), 200) + "\""; });
    }

    // The receiver's own heap: the text it is collecting (reserved up to the
    // smaller of its length and ReserveLimitBytes, growing past that as it
    // comes), plus what is pending at the start of a transfer and one read.
    void CheckHeld(std::string_view when)
    {
        std::size_t allowed = FixedSlackBytes;
        if (receiver_.Receiving()) {
            const auto expected = static_cast<std::size_t>(receiver_.ExpectedSize());
            const auto received = static_cast<std::size_t>(receiver_.ReceivedSize());
            allowed += std::max(std::min(expected, ReserveLimitBytes), 2 * received) + 1;
        } else if (!Pending().empty()) {
            allowed += PendingByteFactor * (Pending().size() + lastRead_);
        }
        Expect(held_ >= 0 && static_cast<std::size_t>(held_) <= allowed, "memory held", [&] {
            return std::string(when) + ": " + std::to_string(held_) + " bytes held, " + std::to_string(allowed) +
                   " allowed; pending " + std::to_string(Pending().size()) + ", counts " +
                   IntToStr(receiver_.ReceivedSize()) + "/" + IntToStr(receiver_.ExpectedSize());
        });
    }

    TransferReceiver receiver_;
    Rules rules_;
    bool pausedInStart_ = false; // the start of transfer the rules hold has seen a pause
    bool modelled_;
    std::string stream_; // bytes fed since the last refusal or reset
    std::size_t consumed_ = 0;
    std::size_t lastRead_ = 0;
    std::int64_t nowMs_ = 0;
    std::int64_t lastBytesMs_ = 0;
    std::int64_t held_ = 0;
    TransferEvents all_;
    std::size_t textBytes_ = 0; // heap of the texts copied into all_
    std::size_t allBytes_ = 0;
};

// `unpausedUntil`: a read that begins before this offset (and after the
// first byte) never follows a pause, as none comes inside a sender's length.
// Without quiet spells, the network may hold back what follows a read that
// is exactly those bytes, as long as a late text is waited for.
void FeedInReads(Probe& probe, std::string_view bytes, Cuts& cuts, bool quietSpells, std::size_t unpausedUntil = 0)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const unsigned char cut = cuts.Next();
        const std::size_t size = std::min<std::size_t>((cut & ReadSizeMask) + 1u, bytes.size() - at);
        const bool inLength = at > 0 && at < unpausedUntil;
        probe.Feed(bytes.substr(at, size), (cut & PauseFlag) != 0 && !inLength);
        at += size;
        if ((cut & QuietFlag) == 0) continue;
        if (quietSpells) {
            probe.GoQuiet();
            if ((cut & PauseFlag) != 0) probe.Stall();
        } else if (size == unpausedUntil && at == size && at < bytes.size()) {
            probe.GoQuiet();
            probe.GoQuiet(StalledTransferMs - 1);
        }
    }
}

std::string EventsText(const TransferEvents& events)
{
    std::string text;
    for (const TransferEvent& event : events) text += Show(event) + "; ";
    return text;
}

bool SameEvents(const TransferEvents& a, const TransferEvents& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TransferEvent& x, const TransferEvent& y) {
        return x.kind == y.kind && x.received == y.received && x.expected == y.expected && x.text == y.text;
    });
}

// The lengths a stream may start with such that the whole stream splits
// into complete transfers ending exactly at its last byte: the readings a
// sender that has gone quiet can have meant. Worked backwards from the end.
std::vector<std::int64_t> WholeReadingStarts(std::string_view stream)
{
    const std::size_t size = stream.size();
    std::vector<char> whole(size + 1, 0);
    std::vector<std::int64_t> starts;
    whole[size] = 1;
    for (std::size_t at = size; at-- > 0;) {
        std::int64_t value = 0;
        for (std::size_t end = at; end < size && end - at < static_cast<std::size_t>(MaxLengthDigits); ++end) {
            const char c = stream[end];
            if (c < '0' || c > '9' || (end > at && stream[at] == '0')) break;
            value = value * 10 + (c - '0');
            if (value > MaxTransferBytes) break;
            const std::size_t textEnd = end + 1 + static_cast<std::size_t>(value);
            if (textEnd > size || !whole[textEnd]) continue;
            whole[at] = 1;
            if (at == 0) starts.push_back(value);
        }
    }
    return starts;
}

// Every event of a real transfer's delivery: the text whole; or, only when
// its bytes also split into other complete transfers, one refusal, or (when
// the first read ended inside the length) texts of such a split, the bytes
// after them refused if no read end settles them.
void CheckDelivery(const TransferEvents& events, const std::string& text, std::string_view transfer,
                   bool lengthCut, bool stalled)
{
    const auto count = [&](TransferEvent::Kind kind) {
        return std::count_if(events.begin(), events.end(), [&](const TransferEvent& e) { return e.kind == kind; });
    };
    std::size_t framed = 0; // bytes of the texts delivered or passed over
    for (const TransferEvent& event : events) {
        if (event.kind == TransferEvent::Kind::Completed)
            framed += event.passedOverBytes + IntToStr(static_cast<std::int64_t>(event.text.size())).size() +
                      event.text.size();
    }
    const bool whole = count(TransferEvent::Kind::Completed) == 1 && count(TransferEvent::Kind::Failed) == 0 &&
                       events.back().kind == TransferEvent::Kind::Completed && events.back().text == text;
    const bool ambiguous = WholeReadingStarts(transfer).size() > 1;
    const bool refused = ambiguous && count(TransferEvent::Kind::Completed) == 0 &&
                         count(TransferEvent::Kind::Failed) == 1;
    // Each text delivered, and each passed over, is framed as it came
    // (checked as it is delivered); what is left once those are settled may
    // be refused as a whole.
    const auto failures = count(TransferEvent::Kind::Failed);
    const bool otherReading = ambiguous && lengthCut && count(TransferEvent::Kind::Completed) > 0 &&
                              (failures == 0 ? framed == transfer.size()
                                             : failures == 1 && events.back().kind == TransferEvent::Kind::Failed);
    const bool dropped = stalled && events.back().kind == TransferEvent::Kind::Failed;
    Expect(!events.empty() && (whole || refused || otherReading || dropped), "a real transfer",
           [&] { return "text \"" + fuzzcheck::Printable(text, 60) + "\" gave " + EventsText(events); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input = std::string_view(reinterpret_cast<const char*>(data), size);
    std::string_view rest = input;
    if (rest.empty()) return 0;
    const std::size_t cutCount = static_cast<unsigned char>(rest[0]) % 8u + 1u;
    rest.remove_prefix(1);
    if (rest.size() < cutCount + 1) return 0;
    Cuts cuts{std::vector<unsigned char>(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(cutCount))};
    rest.remove_prefix(cutCount);
    const std::size_t textSize = std::min<std::size_t>(static_cast<unsigned char>(rest[0]), rest.size() - 1);
    rest.remove_prefix(1);
    const std::string_view garbage = rest.substr(0, rest.size() - textSize);
    const std::string text(rest.substr(rest.size() - textSize));
    const std::string transfer = IntToStr(static_cast<std::int64_t>(text.size())) + text;

    const bool modelled = size <= ModelledInputBytes;
    Probe probe(size + transfer.size(), modelled);
    FeedInReads(probe, garbage, cuts, true);
    probe.Reset();
    const std::size_t eventsBefore = probe.Events().size();
    const std::size_t cutsAt = cuts.next;
    const std::size_t firstRead = (cuts.bytes[cutsAt % cuts.bytes.size()] & ReadSizeMask) + 1u;
    const std::size_t lengthDigits = transfer.size() - text.size();
    const bool lengthCut = firstRead < lengthDigits;
    // Reads of digits (the first, or those after a shorter reading's texts)
    // may, once quiet, be taken for a length whose text is still coming: the
    // transfer then waits until dropped as stalled. A read of digits alone
    // waits for that bound before it is settled.
    const auto deliver = [&](Probe& target) {
        FeedInReads(target, transfer, cuts, false, lengthDigits);
        target.GoQuiet();
        const bool stalled = target.Receiver().Receiving();
        if (target.Receiver().InTransfer()) target.Stall();
        return stalled;
    };
    const bool stalled = deliver(probe);
    const TransferEvents afterReset(probe.Events().begin() + static_cast<std::ptrdiff_t>(eventsBefore),
                                    probe.Events().end());
    Expect(!probe.Receiver().InTransfer(), "no stall after reset", [&] { return "events " + EventsText(afterReset); });
    CheckDelivery(afterReset, text, transfer, lengthCut, stalled);

    Probe fresh(transfer.size(), modelled);
    cuts.next = cutsAt;
    deliver(fresh);
    Expect(SameEvents(afterReset, fresh.Events()), "reset receiver acts as a new one", [&] {
        return "after reset " + EventsText(afterReset) + "\n    new " + EventsText(fresh.Events());
    });
    return 0;
}
