#include "transfer/TextCodec.h"

#include <bit>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>

namespace {

constexpr std::size_t ChunkChars = 16 * 1024;
constexpr std::size_t ChunkBytes = 64 * 1024;
constexpr char32_t ReplacementChar = 0xFFFD;
constexpr char32_t QuestionMark = U'?';

const char* const WideName = std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
const iconv_t NoConverter = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t IconvFailed = static_cast<std::size_t>(-1);

iconv_t Open(const std::string& to, const std::string& from, const std::string& named)
{
    if (named.empty() || named.find('/') != std::string::npos) throw UnknownEncodingError(named);
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == NoConverter) throw UnknownEncodingError(named);
    return cd;
}

iconv_t Handle(void* cd) { return static_cast<iconv_t>(cd); }

} // namespace

EConvertError UnknownEncodingError(std::string_view name)
{
    return EConvertError("文字コード '" + std::string(name) + "' は使用できません");
}

std::string LocaleEncoding()
{
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && *codeset != '\0' ? codeset : "ANSI_X3.4-1968";
}

TextCodec::TextCodec(std::string from, std::string to)
    : from_(std::move(from)), to_(std::move(to)), chars_(ChunkChars), bytes_(ChunkBytes)
{
    decoder_ = Open(WideName, from_, from_);
    try {
        encoder_ = Open(to_, WideName, to_);
    } catch (...) {
        iconv_close(Handle(decoder_));
        throw;
    }
}

TextCodec::~TextCodec()
{
    iconv_close(Handle(encoder_));
    iconv_close(Handle(decoder_));
}

void TextCodec::Reset()
{
    iconv(Handle(decoder_), nullptr, nullptr, nullptr, nullptr);
    iconv(Handle(encoder_), nullptr, nullptr, nullptr, nullptr);
}

std::string TextCodec::Convert(std::string_view bytes)
{
    Reset();
    std::string out;
    out.reserve(bytes.size());

    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* wide = reinterpret_cast<char*>(chars_.data());
        std::size_t wideLeft = chars_.size() * sizeof(char32_t);
        const std::size_t result = iconv(Handle(decoder_), &in, &inLeft, &wide, &wideLeft);
        const int error = result == IconvFailed ? errno : 0;
        EncodeAppend(chars_.data(), chars_.size() - wideLeft / sizeof(char32_t), out);
        // E2BIG only means the chunk is full; anything else is a byte that
        // cannot start a character here (EINVAL: a character cut off by the
        // end of the text), and it stands for one replacement character.
        if (error != 0 && error != E2BIG) {
            EncodeAppend(&ReplacementChar, 1, out);
            ++in;
            --inLeft;
        }
    }

    // A stateful target (ISO-2022-JP and the like) must return to its
    // initial shift state at the end.
    char* tail = bytes_.data();
    std::size_t tailLeft = bytes_.size();
    iconv(Handle(encoder_), nullptr, nullptr, &tail, &tailLeft);
    out.append(bytes_.data(), bytes_.size() - tailLeft);
    return out;
}

void TextCodec::EncodeAppend(const char32_t* chars, std::size_t count, std::string& out)
{
    char* in = const_cast<char*>(reinterpret_cast<const char*>(chars));
    std::size_t inLeft = count * sizeof(char32_t);
    while (inLeft > 0) {
        char* target = bytes_.data();
        std::size_t targetLeft = bytes_.size();
        const std::size_t result = iconv(Handle(encoder_), &in, &inLeft, &target, &targetLeft);
        const int error = result == IconvFailed ? errno : 0;
        out.append(bytes_.data(), bytes_.size() - targetLeft);
        if (error == EILSEQ) {
            EncodeReplacement(out);
            in += sizeof(char32_t);
            inLeft -= sizeof(char32_t);
        } else if (error != 0 && error != E2BIG) {
            break;
        }
    }
}

// One "?" for a character the target cannot hold, written through the
// encoder itself so that a stateful target stays in step.
void TextCodec::EncodeReplacement(std::string& out)
{
    char* in = const_cast<char*>(reinterpret_cast<const char*>(&QuestionMark));
    std::size_t inLeft = sizeof(char32_t);
    char buffer[16];
    char* target = buffer;
    std::size_t targetLeft = sizeof buffer;
    if (iconv(Handle(encoder_), &in, &inLeft, &target, &targetLeft) == IconvFailed) {
        out.push_back('?');
        return;
    }
    out.append(buffer, sizeof buffer - targetLeft);
}
