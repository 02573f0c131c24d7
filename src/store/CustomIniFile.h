// TCustomIniFile: the base of the settings stores. It holds the file name,
// fixed at construction, and declares the operations a store offers; a
// derived store decides how values are kept and when the file is touched.
#pragma once

#include "base/Object.h"

#include <string>
#include <string_view>

class TCustomIniFile : public TObject {
public:
    explicit TCustomIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    const std::string& FileName() const { return fileName_; }

    // The value of `key` in `section`, or `fallback` when either is missing.
    virtual std::string GetValue(std::string_view section, std::string_view key,
                                 std::string_view fallback) const = 0;
    virtual void PutValue(std::string_view section, std::string_view key, std::string_view value) = 0;
    // Writes the whole store to the file named at construction.
    virtual void SaveToDisk() = 0;

private:
    const std::string fileName_;
};
