// TextCodec: converts text bytes from one character encoding to another, the
// way the clipboard's text travels between this machine's locale and the code
// page agreed on the wire.
//
// A character the target encoding cannot hold becomes one "?"; a byte the
// source encoding does not allow there becomes U+FFFD, which in turn becomes
// "?" where the target cannot hold it. Nothing is reported beyond that: the
// conversion never fails once the codec exists. Built on the C library's
// iconv; the names are whatever iconv knows ("CP932", "CP1252", "UTF-8").
// Owned by TClipboard; usable by anyone on one thread at a time.
#pragma once

#include "base/SysUtils.h"

#include <string>
#include <string_view>
#include <vector>

// "文字コード '<name>' は使用できません"
EConvertError UnknownEncodingError(std::string_view name);

class TextCodec {
public:
    // Throws UnknownEncodingError naming whichever encoding iconv does not
    // know. Names carrying iconv options ("//IGNORE") are refused as well, so
    // the rules above always hold.
    TextCodec(std::string from, std::string to);
    ~TextCodec();
    TextCodec(const TextCodec&) = delete;
    TextCodec& operator=(const TextCodec&) = delete;

    std::string Convert(std::string_view bytes);

    const std::string& From() const { return from_; }
    const std::string& To() const { return to_; }

private:
    void Reset();
    void EncodeAppend(const char32_t* chars, std::size_t count, std::string& out);
    void EncodeReplacement(std::string& out);

    std::string from_;
    std::string to_;
    void* decoder_; // iconv_t from `from_` to UTF-32 in the machine's byte order
    void* encoder_; // iconv_t from that UTF-32 to `to_`
    std::vector<char32_t> chars_;
    std::vector<char> bytes_;
};

// The encoding of the process's current locale (LC_CTYPE), as iconv names it.
std::string LocaleEncoding();
