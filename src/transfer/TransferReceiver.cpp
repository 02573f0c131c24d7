#include "transfer/TransferReceiver.h"

#include "transfer/TransferLimits.h"

#include <algorithm>

namespace {

TransferEvent Progress(std::int32_t received, std::int32_t expected)
{
    TransferEvent event;
    event.kind = TransferEvent::Kind::Progress;
    event.received = received;
    event.expected = expected;
    return event;
}

TransferEvent Failed()
{
    TransferEvent event;
    event.kind = TransferEvent::Kind::Failed;
    return event;
}

TransferEvent Completed(std::string text)
{
    TransferEvent event;
    event.kind = TransferEvent::Kind::Completed;
    event.text = std::move(text);
    return event;
}

std::size_t WireBytes(const std::string& text)
{
    std::size_t digits = 1;
    for (std::size_t rest = text.size(); rest >= 10; rest /= 10) ++digits;
    return digits + text.size();
}

} // namespace

TransferEvents TransferReceiver::Feed(std::string_view bytes, std::int64_t nowMs, bool endsWrite)
{
    TransferEvents events;
    if (bytes.empty()) return events;
    std::int64_t gapMs = nowMs - lastBytesMs_;
    if (lastReadEndedWrite_) gapMs = std::max(gapMs, LengthPauseMs);
    lastBytesMs_ = nowMs;
    lastReadEndedWrite_ = endsWrite;
    const std::size_t readSize = bytes.size();
    while (!bytes.empty()) {
        if (!receiving_) {
            header_.AppendRead(bytes, bytes.size() == readSize, gapMs);
            Settle(events, 0);
            break;
        }
        const auto wanted = static_cast<std::size_t>(expected_ - received_);
        const std::size_t taken = std::min(wanted, bytes.size());
        // Growing by doubling holds two buffers at the last step. Once a good
        // part of the announced text is here, the length is believed and the
        // whole text's room is taken at once.
        const auto full = static_cast<std::size_t>(expected_);
        if (text_.size() + taken > text_.capacity() && text_.size() >= full / TrustAnnouncedFraction)
            text_.reserve(full);
        text_.append(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
        received_ += static_cast<std::int32_t>(taken);
        Report(events, Progress(received_, expected_));
        if (received_ == expected_) Complete(events);
    }
    return events;
}

TransferEvents TransferReceiver::Poll(std::int64_t nowMs)
{
    TransferEvents events;
    if (!InTransfer()) return events;
    const std::int64_t silentMs = nowMs - lastBytesMs_;
    if (receiving_ && silentMs >= StalledTransferMs) {
        Reset();
        Report(events, Failed());
    } else if (!receiving_ && silentMs >= QuietResolveMs) {
        Settle(events, silentMs);
    }
    return events;
}

void TransferReceiver::Reset()
{
    header_.Clear();
    std::string().swap(text_);
    expected_ = 0;
    received_ = 0;
    receiving_ = false;
    lastReadEndedWrite_ = false;
}

// Takes every transfer the buffered bytes settle, then either starts counting
// the text of the last one or leaves its start waiting for more bytes.
// `quietMs`: how long the stream has been silent (0 as bytes arrive).
void TransferReceiver::Settle(TransferEvents& events, std::int64_t quietMs)
{
    while (!header_.Empty()) {
        const LengthResolver::Decision decision =
            quietMs >= QuietResolveMs ? header_.DecideQuiet(quietMs) : header_.Decide();

        if (decision.kind == LengthResolver::Decision::Kind::Wait) {
            header_.Compact();
            return;
        }
        if (decision.kind == LengthResolver::Decision::Kind::Fail) {
            header_.Clear();
            Report(events, Failed());
            return;
        }

        const std::string_view rest = header_.Bytes().substr(decision.digits);
        const auto length = static_cast<std::size_t>(decision.length);
        if (rest.size() >= length) {
            std::string text(rest.substr(0, length));
            header_.Consume(decision.digits + length);
            if (length > 0) Report(events, Progress(decision.length, decision.length));
            Report(events, Completed(std::move(text)));
            continue;
        }

        text_.reserve(std::min(length, ReserveLimitBytes));
        text_.assign(rest);
        expected_ = decision.length;
        received_ = static_cast<std::int32_t>(rest.size());
        receiving_ = true;
        header_.Clear();
        if (received_ > 0) Report(events, Progress(received_, expected_));
        return;
    }
}

void TransferReceiver::Complete(TransferEvents& events)
{
    Report(events, Completed(std::move(text_)));
    std::string().swap(text_);
    expected_ = 0;
    received_ = 0;
    receiving_ = false;
}

void TransferReceiver::Report(TransferEvents& events, TransferEvent event)
{
    if (event.kind != TransferEvent::Kind::Failed) {
        const auto same = std::find_if(events.begin(), events.end(),
                                       [&](const TransferEvent& earlier) { return earlier.kind == event.kind; });
        if (same != events.end()) {
            if (event.kind == TransferEvent::Kind::Completed) {
                event.passedOver = same->passedOver + 1;
                event.passedOverBytes = same->passedOverBytes + WireBytes(same->text);
            }
            events.erase(same);
        }
    }
    events.push_back(std::move(event));
}
