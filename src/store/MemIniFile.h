// TMemIniFile: the settings store that keeps the whole file in memory.
//
// Construction loads the file (LoadFromDisk); lookups and edits work on the
// memory copy; SaveToDisk rewrites the whole file from it; destruction writes
// nothing. The store owns its section list, whose lines are the section names
// in file order, each carrying its own list of "name=value" lines. Every
// section and line found is kept and written back, duplicates included;
// comments, blank lines and text before the first header are not. Texts are
// bytes: nothing is decoded, and a byte-order mark is an ordinary byte.
// Section and key names compare with ASCII letters folded to capitals; where
// a name occurs twice, the later occurrence is read and edited.
#pragma once

#include "store/CustomIniFile.h"
#include "store/HashedStringList.h"

#include <string>
#include <string_view>

class TMemIniFile : public TCustomIniFile {
public:
    // Loads the file; throws EFOpenError when it exists but cannot be read.
    explicit TMemIniFile(std::string fileName);

    std::string GetValue(std::string_view section, std::string_view key,
                         std::string_view fallback) const override;
    // Replaces the key's line in place, or adds it at the end of the section,
    // adding the section (in the caller's letter case) at the end if missing.
    void PutValue(std::string_view section, std::string_view key, std::string_view value) override;
    // Throws EFCreateError or EWriteError; the file on disk is then unchanged.
    void SaveToDisk() override;
    // The file holds a secret: SaveToDisk writes it with mode 0600.
    void SetOwnerOnly(bool ownerOnly) { ownerOnly_ = ownerOnly; }

    // Replaces the memory copy with the file's current content. A missing
    // file, an empty file name or a directory in the file's place gives an
    // empty store.
    void LoadFromDisk();
    // The same from another file; SaveToDisk still writes FileName().
    void LoadFromFile(const std::string& path);

private:
    THashedStringList& SectionLines(int index) const;
    THashedStringList& AppendSection(std::string name);
    void LoadFromText(std::string_view text);
    std::string ComposeText() const;

    THashedStringList sections_;
    bool ownerOnly_ = false;
};
