#include "transfer/LengthResolver.h"

#include <algorithm>
#include <utility>

// --- The bytes and the reads that brought them ---

void LengthResolver::AppendRead(std::string_view bytes, bool wholeRead, std::int64_t gapMs)
{
    if (bytes.empty()) return;
    if (Empty()) baseStartsRead_ = wholeRead;
    Compact();
    survey_.Drop();
    if (wholeRead && !gapAfterMs_.empty()) gapAfterMs_.back() = gapMs;
    buffer_.append(bytes);
    dead_.resize(buffer_.size());
    bytesSeen_ += bytes.size();
    readEnds_.push_back(buffer_.size());
    gapAfterMs_.push_back(NoReadYet);
}

void LengthResolver::Consume(std::size_t count)
{
    const std::size_t newBase = std::min(buffer_.size(), base_ + count);
    if (newBase == buffer_.size()) {
        Clear();
        return;
    }
    CarryOver(newBase);
    baseStartsRead_ = ReadEndsAt(newBase);
    base_ = newBase;
    while (readEndsHead_ < readEnds_.size() && readEnds_[readEndsHead_] <= base_) ++readEndsHead_;
}

// Gives the memory back too: a start of transfer may have been large, and an
// idle receiver should hold nothing.
void LengthResolver::Clear()
{
    std::string().swap(buffer_);
    base_ = 0;
    std::vector<std::size_t>().swap(readEnds_);
    std::vector<std::int64_t>().swap(gapAfterMs_);
    readEndsHead_ = 0;
    ResetCandidates();
    std::vector<bool>().swap(dead_);
    taken_ = -1;
    takenEnd_ = 0;
    bytesSeen_ = 0;
    work_ = 0;
    survey_.Drop();
}

// Everything remembered by offset moves with the bytes it describes. The room
// the settled bytes took is given back when it is most of the buffer.
void LengthResolver::Compact()
{
    if (base_ == 0) return;
    survey_.Drop();
    buffer_.erase(0, base_);
    if (buffer_.capacity() > 2 * buffer_.size()) buffer_.shrink_to_fit();
    dead_.erase(dead_.begin(), dead_.begin() + static_cast<std::ptrdiff_t>(base_));
    std::vector<std::size_t> ends;
    for (std::size_t i = readEndsHead_; i < readEnds_.size(); ++i) ends.push_back(readEnds_[i] - base_);
    readEnds_ = std::move(ends);
    gapAfterMs_ = std::vector<std::int64_t>(gapAfterMs_.begin() + static_cast<std::ptrdiff_t>(readEndsHead_),
                                           gapAfterMs_.end());
    readEndsHead_ = 0;
    for (Candidate& candidate : candidates_) {
        candidate.steps.erase(candidate.steps.begin(),
                              candidate.steps.begin() + static_cast<std::ptrdiff_t>(candidate.head));
        candidate.head = 0;
        for (Step& step : candidate.steps) {
            step.first -= base_;
            step.last -= base_;
        }
    }
    takenEnd_ = takenEnd_ >= base_ ? takenEnd_ - base_ : 0;
    base_ = 0;
}

// --- The decisions ---

LengthResolver::Decision LengthResolver::Decide()
{
    const Decision decision = DecideOnBytes();
    return decision.kind == Decision::Kind::Wait ? DecideAfterPause() : decision;
}

// The rules for bytes still coming: no candidate fails, a lone candidate
// that is a length is taken, and waiting ends where it can finish nothing.
LengthResolver::Decision LengthResolver::DecideOnBytes()
{
    Decision decision;
    if (Empty()) return decision;

    const std::size_t size = buffer_.size();
    const LengthChoices lengths = LengthsAt(base_);
    int candidates = lengths.stillArriving ? 1 : 0;
    int taken = -1;
    std::size_t furthest = 0;
    for (int i = 0; i < lengths.count; ++i) {
        Candidate& candidate = candidates_[i];
        if (candidate.dead) continue;
        const std::size_t end = lengths.ends[i];
        if (end < size && !Follow(candidate, end)) {
            candidate.dead = true;
            continue;
        }
        ++candidates;
        taken = i;
        furthest = std::max(furthest, end);
    }

    if (candidates == 0) {
        decision.kind = Decision::Kind::Fail;
    } else if (candidates == 1 && taken >= 0) {
        decision = Take(lengths, taken);
    } else if (size > furthest || work_ > ResolveWorkPerByte * bytesSeen_ + ResolveWorkAllowance) {
        decision.kind = Decision::Kind::Fail;
    }
    return decision;
}

// The candidate whose length is the first read, a pause after it and its
// text complete to the last byte, if the quiet rules take it at this moment
// as well.
LengthResolver::Decision LengthResolver::DecideAfterPause()
{
    if (readEndsHead_ == readEnds_.size() || gapAfterMs_[readEndsHead_] < LengthPauseMs ||
        gapAfterMs_[readEndsHead_] == NoReadYet)
        return Decision();
    const LengthChoices lengths = LengthsAt(base_);
    const std::size_t digits = readEnds_[readEndsHead_] - base_;
    if (digits > static_cast<std::size_t>(lengths.count) || lengths.ends[digits - 1] != buffer_.size())
        return Decision();
    const Decision quiet = DecideByQuietRules();
    if (quiet.kind == Decision::Kind::Take && quiet.digits == digits) return quiet;
    taken_ = -1;
    return Decision();
}

// A read of digits alone may be a length whose text is late: it is not
// settled as a complete text before the stall bound.
LengthResolver::Decision LengthResolver::DecideQuiet(std::int64_t quietMs)
{
    const Decision decision = DecideByQuietRules();
    if (decision.kind != Decision::Kind::Take || quietMs >= StalledTransferMs || takenEnd_ > buffer_.size() ||
        !ReadOfDigitsAlone(LengthsAt(base_)))
        return decision;
    taken_ = -1;
    return Decision();
}

// The quiet rules, numbered as in LengthResolver.h.
LengthResolver::Decision LengthResolver::DecideByQuietRules()
{
    // First whatever Decide would settle. Where a survey is there (a start
    // of transfer settled earlier in this quiet spell), it answers the same
    // without walking each candidate's reading again.
    Decision decision;
    if (survey_.Surveyed()) {
        survey_.Extend(buffer_, base_);
        decision = DecideFromSurvey(false);
    } else {
        decision = DecideOnBytes();
    }
    if (decision.kind != Decision::Kind::Wait) return decision;

    const std::size_t size = buffer_.size();
    const LengthChoices lengths = LengthsAt(base_);
    const int alone = LengthAloneWithTextToCome(lengths);
    // Rule 1.
    if (alone >= 0 && gapAfterMs_[readEndsHead_] < SameTransferWithinMs) return Take(lengths, alone);
    // Rule 2.
    survey_.Align(buffer_, std::span<const std::size_t>(readEnds_).subspan(readEndsHead_));
    int aligned = -1;
    int count = 0;
    for (int i = 0; i < lengths.count; ++i) {
        if (lengths.ends[i] > size || !survey_.Aligned(lengths.ends[i])) continue;
        aligned = i;
        ++count;
    }
    if (count == 1) return Take(lengths, aligned);
    // Rule 3.
    if (alone >= 0) return Take(lengths, alone);
    // Rule 4.
    if (lengths.count > 0 && base_ + static_cast<std::size_t>(lengths.count) == size)
        return Take(lengths, lengths.count - 1);
    // Rules 5 to 7.
    survey_.Extend(buffer_, base_);
    return DecideFromSurvey(true);
}

// As DecideOnBytes, with the survey in place of the candidates' readings;
// with `byComplete`, what DecideOnBytes would wait on is settled by rules 5
// to 7.
LengthResolver::Decision LengthResolver::DecideFromSurvey(bool byComplete)
{
    Decision decision;
    decision.kind = Decision::Kind::Fail;
    const std::size_t size = buffer_.size();
    const LengthChoices lengths = LengthsAt(base_);
    int candidates = lengths.stillArriving ? 1 : 0;
    int taken = -1;
    std::size_t furthest = 0;
    int complete = 0;
    int lastComplete = -1;
    int completeAtReadEnd = 0;
    int lastCompleteAtReadEnd = -1;
    for (int i = 0; i < lengths.count; ++i) {
        const std::size_t end = lengths.ends[i];
        if (end < size && !survey_.Open(end)) continue;
        ++candidates;
        taken = i;
        furthest = std::max(furthest, end);
        if (end > size || !survey_.Whole(end)) continue;
        ++complete;
        lastComplete = i;
        if (ReadEndsAt(base_ + static_cast<std::size_t>(i) + 1)) {
            ++completeAtReadEnd;
            lastCompleteAtReadEnd = i;
        }
    }

    if (candidates == 0) return decision;
    if (candidates == 1 && taken >= 0) return Take(lengths, taken);
    if (size > furthest) return decision;
    if (!byComplete) return Decision();
    if (complete == 1) return Take(lengths, lastComplete);                                 // rule 5
    if (complete > 1 && completeAtReadEnd == 1) return Take(lengths, lastCompleteAtReadEnd); // rule 6
    return decision;                                                                         // rule 7
}

LengthResolver::Decision LengthResolver::Take(const LengthChoices& lengths, int index)
{
    Decision decision;
    decision.kind = Decision::Kind::Take;
    decision.digits = static_cast<std::size_t>(index) + 1;
    decision.length = lengths.values[index];
    taken_ = index;
    takenEnd_ = lengths.ends[index];
    return decision;
}

// The index of the length that is the whole first read, when its text is
// still coming; else -1.
int LengthResolver::LengthAloneWithTextToCome(const LengthChoices& lengths) const
{
    const int alone = LengthAloneInFirstRead(lengths);
    return alone >= 0 && lengths.ends[alone] > buffer_.size() ? alone : -1;
}

// The index of the length that is the whole first read of the start of
// transfer, or -1 when that read held anything else.
int LengthResolver::LengthAloneInFirstRead(const LengthChoices& lengths) const
{
    if (!baseStartsRead_ || readEndsHead_ == readEnds_.size()) return -1;
    const std::size_t digits = readEnds_[readEndsHead_] - base_;
    return digits <= static_cast<std::size_t>(lengths.count) ? static_cast<int>(digits) - 1 : -1;
}

// Whether the bytes are one length whose text is still to come, and no read
// ended inside them.
bool LengthResolver::ReadOfDigitsAlone(const LengthChoices& lengths) const
{
    return lengths.count > 0 && base_ + static_cast<std::size_t>(lengths.count) == buffer_.size() &&
        lengths.ends[lengths.count - 1] > buffer_.size() && readEnds_[readEndsHead_] == buffer_.size();
}

bool LengthResolver::ReadEndsAt(std::size_t offset) const
{
    return std::binary_search(readEnds_.begin() + static_cast<std::ptrdiff_t>(readEndsHead_), readEnds_.end(), offset);
}

// --- The incremental search for each candidate's reading ---

// Whether a reading of the bytes from `start` (inside the buffer) to the end
// still exists, carrying on from the one found for `candidate` before. Depth
// first, longest length first: the longest text reaches furthest, so the
// reading found through it holds the longest as bytes arrive. The open end
// of the path is always its longest length (a shorter one ends sooner), so
// when new bytes pass it, it is looked at afresh, with any digits that have
// joined it since.
bool LengthResolver::Follow(Candidate& candidate, std::size_t start)
{
    const std::size_t size = buffer_.size();
    std::vector<Step>& steps = candidate.steps;
    if (candidate.head == steps.size()) {
        steps.clear();
        candidate.head = 0;
        if (dead_[start]) return false;
        ++work_;
        steps.push_back(Step{start, start, LengthsAt(start).count});
    } else {
        Step& open = steps.back();
        if (EndOf(open.last, open.digits) >= size) return true;
        open.digits = LengthsAt(open.last).count;
    }

    for (;;) {
        Step& top = steps.back();
        if (top.digits == 0) {
            MarkDead(top);
            steps.pop_back();
            if (steps.size() == candidate.head) return false;
            --steps.back().digits;
            continue;
        }
        const std::size_t end = EndOf(top.last, top.digits);
        if (end >= size) return true;
        if (dead_[end]) {
            --top.digits;
            continue;
        }
        ++work_;
        // A one-digit length has no shorter choice left: it joins the run
        // below when that is one too.
        if (top.digits == 1 && steps.size() - candidate.head >= 2 && steps[steps.size() - 2].digits == 1) {
            steps[steps.size() - 2].last = top.last;
            steps.pop_back();
        }
        steps.push_back(Step{end, end, LengthsAt(end).count});
    }
}

// Every length of the step has been tried and led nowhere; so has the one
// choice of each offset in the run before it.
void LengthResolver::MarkDead(const Step& step)
{
    for (std::size_t at = step.first;; at = EndOf(at, 1)) {
        dead_[at] = true;
        if (at == step.last) break;
    }
}

void LengthResolver::ResetCandidates()
{
    for (Candidate& candidate : candidates_) candidate = Candidate();
}

// A taken length whose text is all here leaves its candidate's reading past
// that text: the reading of the next start of transfer, with the first step
// as its length. Keeping it spares walking a long run of joined transfers
// again for each one settled.
void LengthResolver::CarryOver(std::size_t newBase)
{
    Candidate carried;
    if (taken_ >= 0 && newBase == takenEnd_ && !survey_.Surveyed()) carried = std::move(candidates_[taken_]);
    ResetCandidates();
    taken_ = -1;
    if (carried.head == carried.steps.size()) return;

    Step& first = carried.steps[carried.head];
    int digits = first.digits;
    if (first.first == first.last) {
        ++carried.head;
    } else {
        digits = 1;
        first.first = EndOf(first.first, 1);
    }
    candidates_[digits - 1] = std::move(carried);
}
