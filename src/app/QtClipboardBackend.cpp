#include "QtClipboardBackend.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace {

// The text as UTF-8 bytes, the form most desktop programs offer beside the
// X11 string targets; read and given as they are.
const QString Utf8TextFormat = QStringLiteral("text/plain;charset=utf-8");
// Plain text: Qt maps it to the X11 string targets (UTF8_STRING, STRING,
// TEXT) and converts between them and UTF-8 itself.
const QString PlainTextFormat = QStringLiteral("text/plain");
const QString UriListFormat = QStringLiteral("text/uri-list");

} // namespace

QtClipboardBackend::QtClipboardBackend() : clipboard_(QGuiApplication::clipboard())
{
    QObject::connect(clipboard_, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode != QClipboard::Clipboard) return;
        ++changes_;
        NotifyChange();
    });
}

bool QtClipboardBackend::HoldsText()
{
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return false;
    // What hasText() looks for, from one list of formats: hasText() asks the
    // owner twice (plain text, then URLs), and an owner that never answers
    // holds the whole program up for Qt's full timeout at each question.
    const QStringList formats = data->formats();
    return formats.contains(PlainTextFormat) || formats.contains(Utf8TextFormat) || formats.contains(UriListFormat);
}

// The bytes themselves where the owner offers them: text() would pass them
// through a UTF-16 string and back, three times the text's size for a
// moment. An owner offering only the X11 string targets still goes that way,
// inside Qt.
bool QtClipboardBackend::FetchText(std::string& text)
{
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return false;
    const QStringList formats = data->formats();
    QByteArray bytes;
    if (formats.contains(Utf8TextFormat)) {
        bytes = data->data(Utf8TextFormat);
    } else if (formats.contains(PlainTextFormat)) {
        bytes = data->data(PlainTextFormat);
    } else if (formats.contains(UriListFormat)) {
        bytes = data->text().toUtf8();
    }
    text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

bool QtClipboardBackend::PlaceText(const std::string& text)
{
    // The bytes placed last go now rather than once the new ones are in:
    // nothing can ask for them before setMimeData below replaces them, and
    // holding both would double the peak for large texts.
    if (placed_ != nullptr) placed_->clear();
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    auto* data = new QMimeData;
    // One buffer under both names (QByteArray shares it). Qt serves the
    // bytes as they are to anyone asking for UTF-8 text, and converts them
    // only for a Latin-1 STRING request.
    data->setData(Utf8TextFormat, bytes);
    data->setData(PlainTextFormat, bytes);
    placed_ = data;
    clipboard_->setMimeData(data, QClipboard::Clipboard); // takes ownership, drops every other format
    return true;
}

std::uint64_t QtClipboardBackend::ChangeCount()
{
    return changes_;
}

std::string QtClipboardBackend::TextEncoding() const
{
    return "UTF-8";
}
