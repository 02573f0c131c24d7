// TStringList: an ordered list of text lines, each with an optional attached
// object that the list owns. Not sorted: a new line goes at the end;
// duplicates and empty lines are kept.
//
// Every change (a line added, replaced or removed, an object set, the case
// flag switched) calls Changed(), so a derived list can keep indexes in step.
// The case flag is only carried here; lookups that honour it belong to the
// derived list. Bad line numbers raise EListError.
#pragma once

#include "base/Object.h"

#include <memory>
#include <string>
#include <vector>

class TStringList : public TObject {
public:
    TStringList() = default;

    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& Strings(int index) const;
    TObject* Objects(int index) const;

    int Add(std::string text);
    int AddObject(std::string text, std::unique_ptr<TObject> object);
    void Put(int index, std::string text);
    // The line's previous object, if any, is destroyed.
    void PutObject(int index, std::unique_ptr<TObject> object);
    void Delete(int index);
    void Clear();

    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool caseSensitive);

protected:
    virtual void Changed() {}

private:
    struct Line {
        std::string text;
        std::unique_ptr<TObject> object;
    };

    std::size_t CheckedIndex(int index) const;

    std::vector<Line> lines_;
    bool caseSensitive_ = false;
};
