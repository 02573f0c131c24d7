#include "LengthResolver.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t Forever = std::numeric_limits<std::size_t>::max();

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

void LengthResolver::Append(std::string_view bytes)
{
    Compact();
    buffer_.append(bytes);
    bytesSeen_ += bytes.size();
    whole_.clear();
}

void LengthResolver::Consume(std::size_t count)
{
    base_ = std::min(buffer_.size(), base_ + count);
    if (Empty()) Clear();
}

// Gives the memory back too: a start of transfer may have been large, and an
// idle receiver should hold nothing.
void LengthResolver::Clear()
{
    std::string().swap(buffer_);
    base_ = 0;
    marks_ = std::unordered_map<std::size_t, Mark>();
    bytesSeen_ = 0;
    work_ = 0;
    whole_ = std::vector<bool>();
}

// The remembered offsets move with the bytes they describe. The room the
// settled bytes took is given back when it is most of the buffer.
void LengthResolver::Compact()
{
    if (base_ == 0) return;
    buffer_.erase(0, base_);
    if (buffer_.capacity() > 2 * buffer_.size()) buffer_.shrink_to_fit();
    whole_ = std::vector<bool>();
    std::unordered_map<std::size_t, Mark> moved;
    moved.reserve(marks_.size());
    for (const auto& [offset, mark] : marks_) {
        if (offset < base_) continue;
        Mark shifted = mark;
        if (shifted.validUntil != Forever) shifted.validUntil -= base_;
        moved.emplace(offset - base_, shifted);
    }
    marks_ = std::move(moved);
    base_ = 0;
}

LengthResolver::Lengths LengthResolver::LengthsAt(std::size_t offset) const
{
    Lengths lengths;
    const std::size_t size = buffer_.size();
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (offset + digits < size && IsDigit(buffer_[offset + digits])) {
        value = value * 10 + (buffer_[offset + digits] - '0');
        ++digits;
        if (digits > 1 && buffer_[offset] == '0') break;
        if (digits > static_cast<std::size_t>(MaxLengthDigits) || value > MaxTransferBytes) break;
        lengths.values[lengths.count] = static_cast<std::int32_t>(value);
        lengths.ends[lengths.count] = offset + digits + static_cast<std::size_t>(value);
        ++lengths.count;
    }
    // The digits reach the end and every one of them still forms a length:
    // a further digit may yet arrive, unless the first was "0" or one more
    // digit would overflow the bound whatever it is.
    lengths.stillArriving = lengths.count > 0 && offset + static_cast<std::size_t>(lengths.count) == size
        && buffer_[offset] != '0' && lengths.count < MaxLengthDigits
        && static_cast<std::int64_t>(lengths.values[lengths.count - 1]) * 10 <= MaxTransferBytes;
    return lengths;
}

const LengthResolver::Mark* LengthResolver::Known(std::size_t offset) const
{
    const auto found = marks_.find(offset);
    if (found == marks_.end() || buffer_.size() > found->second.validUntil) return nullptr;
    return &found->second;
}

// Whether some reading of the bytes from `offset` (inside the buffer) to the
// end exists. Depth-first over the lengths, longest first: the longest
// length's text reaches furthest, so a reading found through it stays valid
// the longest as bytes arrive. An explicit stack, because a run of "0"
// transfers makes the chain as long as the buffer.
bool LengthResolver::Readable(std::size_t offset)
{
    if (const Mark* mark = Known(offset)) return mark->readable;

    struct Frame {
        std::size_t offset;
        Lengths lengths;
        int next; // index of the next length to follow, counting down
    };
    const std::size_t size = buffer_.size();
    std::vector<Frame> stack;
    // Set when the frame on top has been shown readable, with how long the
    // reading found stays valid; it then passes down to every frame below.
    std::optional<std::size_t> found;

    auto enter = [&](std::size_t at) {
        ++work_;
        Frame frame{at, LengthsAt(at), 0};
        frame.next = frame.lengths.count - 1;
        // A length still arriving has digits so far that already form a
        // length whose text runs past the end, so it needs no case here.
        if (frame.lengths.count > 0 && frame.lengths.ends[frame.lengths.count - 1] >= size) {
            found = frame.lengths.ends[frame.lengths.count - 1];
        }
        stack.push_back(frame);
    };

    enter(offset);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (found) {
            marks_[top.offset] = Mark{true, *found};
            stack.pop_back();
            continue;
        }
        if (top.next < 0) {
            marks_[top.offset] = Mark{false, Forever};
            stack.pop_back();
            continue;
        }
        const std::size_t end = top.lengths.ends[top.next--];
        if (const Mark* mark = Known(end)) {
            if (mark->readable) found = mark->validUntil;
            continue;
        }
        enter(end);
    }
    return found.has_value();
}

LengthResolver::Decision LengthResolver::Decide()
{
    Decision decision;
    if (Empty()) return decision;

    const std::size_t size = buffer_.size();
    const Lengths lengths = LengthsAt(base_);
    int candidates = lengths.stillArriving ? 1 : 0;
    int taken = -1;
    std::size_t longestNeed = 0;
    for (int i = 0; i < lengths.count; ++i) {
        const std::size_t end = lengths.ends[i];
        if (end < size && !Readable(end)) continue;
        ++candidates;
        taken = i;
        longestNeed = std::max(longestNeed, end - base_);
    }

    if (candidates == 0) {
        decision.kind = Decision::Kind::Fail;
    } else if (candidates == 1 && taken >= 0) {
        decision.kind = Decision::Kind::Take;
        decision.digits = static_cast<std::size_t>(taken) + 1;
        decision.length = lengths.values[taken];
    } else if ((taken >= 0 && size - base_ > longestNeed + HeaderSlackBytes)
               || work_ > ResolveWorkPerByte * bytesSeen_ + ResolveWorkAllowance) {
        decision.kind = Decision::Kind::Fail;
    }
    return decision;
}

LengthResolver::Decision LengthResolver::DecideQuiet()
{
    Decision decision;
    decision.kind = Decision::Kind::Fail;
    if (Empty()) return decision;

    // Filled once for the whole buffer, from the end backwards, as each
    // offset depends only on later ones; every transfer settled in one quiet
    // spell then reads its answer here.
    const std::size_t size = buffer_.size();
    if (whole_.empty()) {
        whole_.assign(size + 1, false);
        whole_[size] = true;
        for (std::size_t at = size; at-- > base_;) {
            const Lengths lengths = LengthsAt(at);
            for (int i = 0; i < lengths.count && !whole_[at]; ++i) {
                const std::size_t end = lengths.ends[i];
                whole_[at] = end <= size && whole_[end];
            }
        }
    }

    const Lengths first = LengthsAt(base_);
    int wholeCount = 0;
    for (int i = 0; i < first.count; ++i) {
        const std::size_t end = first.ends[i];
        if (end > size || !whole_[end]) continue;
        ++wholeCount;
        decision.digits = static_cast<std::size_t>(i) + 1;
        decision.length = first.values[i];
    }
    if (wholeCount == 1) decision.kind = Decision::Kind::Take;
    return decision;
}
