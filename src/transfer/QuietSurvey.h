// QuietSurvey: which readings the bytes of a start of transfer allow, worked
// out offset by offset while the sender is quiet and the bytes stand still
// (the terms are LengthResolver.h's).
//
// For each offset from some point to the end of the bytes: whether a reading
// of the bytes from there exists (Open) and whether a complete one does
// (Whole). Each offset depends only on later ones, so the survey fills them
// backwards from the end, and goes on toward the front for each further
// start of transfer settled in the same quiet spell. Apart from that, for
// each read end: whether an aligned reading starts there (Aligned); read ends
// are few beside the bytes, and only they are examined. Owned by
// LengthResolver, which drops the survey whenever its bytes change.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

class QuietSurvey {
public:
    // Whether Extend has run since the last Drop.
    bool Surveyed() const { return surveyed_; }
    // Fills Open and Whole for every offset of `bytes` from `from` on.
    void Extend(std::string_view bytes, std::size_t from);
    // Open and Whole: for offsets from the last Extend's `from` to the size.
    bool Open(std::size_t at) const { return open_[at]; }
    bool Whole(std::size_t at) const { return whole_[at]; }

    // Fills Aligned for `readEnds` (ascending offsets into `bytes`) and the
    // end of the bytes; once until the next Drop.
    void Align(std::string_view bytes, std::span<const std::size_t> readEnds);
    bool Aligned(std::size_t at) const { return aligned_[at]; }

    void Drop();

private:
    bool surveyed_ = false;
    std::size_t surveyedFrom_ = 0;
    std::vector<bool> open_;
    std::vector<bool> whole_;
    std::vector<bool> aligned_; // only read ends and the end of the bytes are ever set
};
