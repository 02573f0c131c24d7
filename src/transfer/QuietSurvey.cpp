#include "transfer/QuietSurvey.h"

#include "transfer/LengthChoices.h"

#include <algorithm>

void QuietSurvey::Extend(std::string_view bytes, std::size_t from)
{
    const std::size_t size = bytes.size();
    if (!surveyed_) {
        open_.assign(size + 1, false);
        whole_.assign(size + 1, false);
        open_[size] = true;
        whole_[size] = true;
        surveyedFrom_ = size;
        surveyed_ = true;
    }
    for (std::size_t at = surveyedFrom_; at > from;) {
        --at;
        bool open = false;
        bool whole = false;
        const LengthChoices lengths = LengthChoices::At(bytes, at);
        for (int i = 0; i < lengths.count && !(open && whole); ++i) {
            const std::size_t end = lengths.ends[i];
            open = open || end >= size || open_[end];
            whole = whole || (end <= size && whole_[end]);
        }
        open_[at] = open;
        whole_[at] = whole;
    }
    surveyedFrom_ = std::min(surveyedFrom_, from);
}

void QuietSurvey::Align(std::string_view bytes, std::span<const std::size_t> readEnds)
{
    if (!aligned_.empty()) return;
    const std::size_t size = bytes.size();
    aligned_.assign(size + 1, false);
    aligned_[size] = true;
    for (std::size_t i = readEnds.size(); i > 0;) {
        const std::size_t at = readEnds[--i];
        if (at >= size) continue;
        const LengthChoices lengths = LengthChoices::At(bytes, at);
        for (int j = 0; j < lengths.count && !aligned_[at]; ++j) {
            const std::size_t end = lengths.ends[j];
            if (end <= size && aligned_[end]) aligned_[at] = true;
        }
    }
}

void QuietSurvey::Drop()
{
    surveyed_ = false;
    std::vector<bool>().swap(open_);
    std::vector<bool>().swap(whole_);
    std::vector<bool>().swap(aligned_);
}
