// THashedStringList: a TStringList that answers "which line is this text" and
// "which line has this name" through two TStringHash indexes instead of a walk.
//
// A line's name is its text before the first "="; a line without "=" has no
// name. Unless the list is case-sensitive, texts and names are compared after
// upper-casing the ASCII letters a-z (other bytes as they are, so the length
// never changes). Any change marks both indexes stale; a lookup rebuilds its
// own index first when stale, entering lines from 0 upward, so when several
// lines match the highest-numbered one is found: the last duplicate wins.
#pragma once

#include "store/StringHash.h"
#include "store/StringList.h"

#include <memory>
#include <string>
#include <string_view>

class THashedStringList : public TStringList {
public:
    static constexpr int NotFound = TStringHash::NotFound;

    // Line number of the last line whose whole text matches `text`, or NotFound.
    int FindLine(std::string_view text) const;
    // Line number of the last line holding "=" whose name matches `name`, or NotFound.
    int FindName(std::string_view name) const;

protected:
    void Changed() override;

private:
    std::string Folded(std::string_view text) const;
    void RebuildLineIndex() const;
    void RebuildNameIndex() const;

    // Lookups are logically const; the indexes are caches of the lines, made
    // by the first lookup that needs one (most lists are never searched) and
    // dropped by any change, which is what marks them stale.
    mutable std::unique_ptr<TStringHash> lineIndex_;
    mutable std::unique_ptr<TStringHash> nameIndex_;
};
