// Errors and the text<->integer conversions every layer leans on.
//
// Failures in this program are exceptions with a message text. The message is
// what the error box shows, so each class is thrown with its fixed wording
// (see the factory functions); the texts are part of the program's behaviour.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

class ESocketError : public Exception { public: using Exception::Exception; };
class EConvertError : public Exception { public: using Exception::Exception; };
class EOutOfResources : public Exception { public: using Exception::Exception; };
class EFOpenError : public Exception { public: using Exception::Exception; };
class EFCreateError : public Exception { public: using Exception::Exception; };
class EWriteError : public Exception { public: using Exception::Exception; };
class EListError : public Exception { public: using Exception::Exception; };

// "'<text>' は整数ではありません"
EConvertError NotAnIntegerError(std::string_view text);
// "タイマーを取得できません"
EOutOfResources NoTimerError();
// "リストのインデックスが範囲を超えています (<index>)"
EListError ListIndexError(std::int32_t index);

// Parses the whole of `text` as one 32-bit integer; throws NotAnIntegerError.
// Accepted: leading blanks (byte 32 only), at most one sign, then decimal
// digits within the signed 32-bit range, or a hexadecimal form ("$", "x", "X",
// "0x", "0X" followed by hex digits) of at most 8 significant digits read as a
// 32-bit pattern. A "-" negates either form. Nothing may follow the digits.
std::int32_t StrToInt(std::string_view text);

// Like StrToInt, but reports failure instead of throwing.
bool TryStrToInt(std::string_view text, std::int32_t& value);

// Plain decimal: "-" for negatives, no leading zeros, blanks or grouping.
std::string IntToStr(std::int64_t value);
