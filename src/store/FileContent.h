// Whole-file reading and replacing for the settings store, with the store's
// error messages. Only the store calls these; the path string is used as
// given (a doubled "/" in it is harmless).
#pragma once

#include "base/SysUtils.h"

#include <optional>
#include <string>
#include <string_view>

// "ファイル <path> は開けません"
EFOpenError FileOpenError(std::string_view path);
// "ファイル <path> を作成できません"
EFCreateError FileCreateError(std::string_view path);
// "ストリームへの書き込みエラー"
EWriteError StreamWriteError();

// The whole content of the file at `path`, read to its end in one open (a
// file that grows meanwhile is read as far as it has grown). No value when
// nothing is there or a directory is: neither is an error. Throws
// EFOpenError when something is there that cannot be read as a file.
std::optional<std::string> ReadFileContent(const std::string& path);

// Makes `content` the file's content, never leaving it half-written where
// the directory allows: the text goes to a temporary file in the same
// directory, is synced, and is renamed over the file only when whole. The
// old file keeps its permission bits (and owner, where allowed); a symbolic
// link is written through. A writable file in a directory that takes no new
// file is overwritten in place instead.
// Throws EFCreateError when the file may not be replaced (read-only file,
// even for root; a directory of that name; no file and no writable
// directory) and EWriteError when the content cannot be written whole. On
// either error no temporary file remains, and the old file is left as it
// was, unless it was being overwritten in place: it then holds what was
// written. `ownerOnly`: the file holds a secret and gets mode 0600 instead,
// from its first byte on.
void ReplaceFileContent(const std::string& path, std::string_view content, bool ownerOnly = false);
