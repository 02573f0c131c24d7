#include "ReceiverModel.h"

#include "transfer/TransferLimits.h"

#include <algorithm>
#include <optional>

ReceiverModel::Lengths ReceiverModel::LengthsAt(std::size_t at) const
{
    Lengths lengths;
    std::int64_t value = 0;
    for (std::size_t digits = 1; digits <= static_cast<std::size_t>(MaxLengthDigits); ++digits) {
        const std::size_t index = at + digits - 1;
        if (index >= waiting_.size() || waiting_[index] < '0' || waiting_[index] > '9') break;
        if (digits == 2 && waiting_[at] == '0') break;
        value = value * 10 + (waiting_[index] - '0');
        if (value > MaxTransferBytes) break;
        lengths.list[lengths.count++] = {value, digits};
    }
    return lengths;
}

bool ReceiverModel::MoreDigitsMayCome() const
{
    const bool allDigits = std::all_of(waiting_.begin(), waiting_.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!allDigits || waiting_.empty() || waiting_[0] == '0') return false;
    if (waiting_.size() >= static_cast<std::size_t>(MaxLengthDigits)) return false;
    return std::stoll(waiting_) * 10 <= MaxTransferBytes;
}

ReceiverModel::Choice ReceiverModel::Choose(bool quiet, bool stalled) const
{
    Choice choice = ChooseByRules(quiet);
    const Lengths all = LengthsAt(0);
    const std::size_t size = waiting_.size();
    const bool digitsAlone = all.count > 0 && all.list[all.count - 1].digits == size &&
                             all.list[all.count - 1].value > 0 && readEnds_.front() == size;
    const bool complete = choice.length.digits + static_cast<std::size_t>(choice.length.value) <= size;
    if (!stalled && digitsAlone && choice.kind == Choice::Kind::Take && complete) choice.kind = Choice::Kind::Wait;
    return choice;
}

ReceiverModel::Choice ReceiverModel::ChooseByRules(bool quiet) const
{
    const std::size_t size = waiting_.size();
    // open[i]: the bytes from i on have a reading; whole[i]: one whose every
    // transfer is complete and ends at the last byte.
    std::vector<char>& open = open_;
    std::vector<char>& whole = whole_;
    open.assign(size + 1, 0);
    whole.assign(size + 1, 0);
    open[size] = 1;
    whole[size] = 1;
    for (std::size_t i = size; i-- > 0;) {
        for (const Length& length : LengthsAt(i)) {
            const std::size_t end = i + length.digits + static_cast<std::size_t>(length.value);
            if (end >= size || open[end]) open[i] = 1;
            if (end <= size && whole[end]) whole[i] = 1;
        }
    }

    std::vector<Length> candidates;
    std::vector<Length> wholeCandidates;
    std::size_t furthest = 0;
    for (const Length& length : LengthsAt(0)) {
        const std::size_t end = length.digits + static_cast<std::size_t>(length.value);
        if (end >= size || open[end]) {
            candidates.push_back(length);
            furthest = std::max(furthest, end);
        }
        if (end <= size && whole[end]) wholeCandidates.push_back(length);
    }
    const std::size_t count = candidates.size() + (MoreDigitsMayCome() ? 1 : 0);

    Choice choice;
    const auto take = [&](const Length& length) {
        choice.kind = Choice::Kind::Take;
        choice.length = length;
        return choice;
    };
    const auto refuse = [&] {
        choice.kind = Choice::Kind::Refuse;
        return choice;
    };
    if (count == 0) return refuse();
    if (count == 1 && candidates.size() == 1) return take(candidates.front());
    if (size > furthest) return refuse();
    if (!quiet) return choice;

    // The quiet rules, numbered as in LengthResolver.h. Rule 1: a length that
    // was the whole first read, its text not all here; taken first when the
    // next read came soon after it.
    const Lengths all = LengthsAt(0);
    std::optional<Length> alone;
    for (const Length& length : all) {
        if (waitingStartsRead_ && length.digits == readEnds_.front() &&
            length.digits + static_cast<std::size_t>(length.value) > size)
            alone = length;
    }
    if (alone && gapsAfter_.front() < SameTransferWithinMs) {
        choice.lengthAlone = true;
        if (lengthAloneRule_) return take(*alone);
    }

    // Rule 2. aligned[i]: the bytes from i on split into whole transfers,
    // each one after the first starting where a read ended.
    std::vector<char> readEnd(size + 1, 0);
    for (std::size_t end : readEnds_) readEnd[end] = 1;
    std::vector<char> aligned(size + 1, 0);
    aligned[size] = 1;
    for (std::size_t i = size; i-- > 0;) {
        for (const Length& length : LengthsAt(i)) {
            const std::size_t end = i + length.digits + static_cast<std::size_t>(length.value);
            if (end == size || (end < size && readEnd[end] && aligned[end])) aligned[i] = 1;
        }
    }
    std::vector<Length> alignedCandidates;
    for (const Length& length : LengthsAt(0)) {
        const std::size_t end = length.digits + static_cast<std::size_t>(length.value);
        if (end == size || (end < size && readEnd[end] && aligned[end])) alignedCandidates.push_back(length);
    }
    if (alignedCandidates.size() == 1) return take(alignedCandidates.front());
    // Rule 3.
    if (alone) {
        choice.lengthAlone = true;
        if (lengthAloneRule_) return take(*alone);
    }
    // Rules 4 and 5.
    if (all.count > 0 && all.list[all.count - 1].digits == size) return take(all.list[all.count - 1]);
    if (wholeCandidates.size() == 1) return take(wholeCandidates.front());
    // Rules 6 and 7.
    std::vector<Length> atReadEnd;
    for (const Length& length : wholeCandidates) {
        if (AtReadEnd(length.digits)) atReadEnd.push_back(length);
    }
    return wholeCandidates.size() > 1 && atReadEnd.size() == 1 ? take(atReadEnd.front()) : refuse();
}

bool ReceiverModel::AtReadEnd(std::size_t at) const
{
    return std::find(readEnds_.begin(), readEnds_.end(), at) != readEnds_.end();
}

void ReceiverModel::Settle(Outcomes& outcomes, bool quiet, bool stalled)
{
    while (!waiting_.empty()) {
        const Choice choice = Choose(quiet, stalled);
        tookLengthAlone_ = tookLengthAlone_ || choice.lengthAlone;
        if (choice.kind == Choice::Kind::Wait) return;
        if (choice.kind == Choice::Kind::Refuse) {
            waiting_.clear();
            readEnds_.clear();
            gapsAfter_.clear();
            outcomes.push_back({true, {}});
            return;
        }
        const std::size_t textStart = choice.length.digits;
        const auto textSize = static_cast<std::size_t>(choice.length.value);
        if (waiting_.size() - textStart >= textSize) {
            outcomes.push_back({false, waiting_.substr(textStart, textSize)});
            waiting_.erase(0, textStart + textSize);
            waitingStartsRead_ = AtReadEnd(textStart + textSize);
            std::vector<std::size_t> later;
            std::vector<std::int64_t> laterGaps;
            for (std::size_t i = 0; i < readEnds_.size(); ++i) {
                if (readEnds_[i] <= textStart + textSize) continue;
                later.push_back(readEnds_[i] - (textStart + textSize));
                laterGaps.push_back(gapsAfter_[i]);
            }
            readEnds_ = later;
            gapsAfter_ = laterGaps;
            continue;
        }
        text_ = waiting_.substr(textStart);
        expected_ = choice.length.value;
        receiving_ = true;
        waiting_.clear();
        readEnds_.clear();
        gapsAfter_.clear();
        return;
    }
}

ReceiverModel::Outcomes ReceiverModel::Feed(std::string_view bytes, std::int64_t gapMs)
{
    Outcomes outcomes;
    if (waiting_.empty()) waitingStartsRead_ = !receiving_;
    if (!waiting_.empty()) gapsAfter_.back() = gapMs;
    if (receiving_) {
        const std::size_t wanted = static_cast<std::size_t>(expected_) - text_.size();
        const std::size_t taken = std::min(wanted, bytes.size());
        text_.append(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
        if (static_cast<std::int64_t>(text_.size()) < expected_) return outcomes;
        outcomes.push_back({false, std::move(text_)});
        text_.clear();
        receiving_ = false;
    }
    if (bytes.empty()) return outcomes;
    waiting_.append(bytes);
    readEnds_.push_back(waiting_.size());
    gapsAfter_.push_back(INT64_MAX);
    Settle(outcomes, false);
    return outcomes;
}

ReceiverModel::Outcomes ReceiverModel::Quiet()
{
    Outcomes outcomes;
    if (!receiving_) Settle(outcomes, true);
    return outcomes;
}

ReceiverModel::Outcomes ReceiverModel::Stalled()
{
    if (!receiving_) {
        Outcomes outcomes;
        Settle(outcomes, true, true);
        return outcomes;
    }
    Reset();
    return {{true, {}}};
}

void ReceiverModel::Reset()
{
    waiting_.clear();
    readEnds_.clear();
    gapsAfter_.clear();
    text_.clear();
    expected_ = 0;
    receiving_ = false;
}
