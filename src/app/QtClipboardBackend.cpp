#include "app/QtClipboardBackend.h"

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
// Set, with the value "secret", by password managers beside a password.
const QString SecretHintFormat = QStringLiteral("x-kde-passwordManagerHint");

} // namespace

QtClipboardBackend::QtClipboardBackend() : clipboard_(QGuiApplication::clipboard())
{
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        x11_ = std::make_unique<X11Clipboard>([this] { NotifyChange(); });
        if (!x11_->Connected()) x11_.reset();
    }
    QObject::connect(clipboard_, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode != QClipboard::Clipboard || x11_ != nullptr) return;
        ++changes_;
        NotifyChange();
    });
}

bool QtClipboardBackend::HoldsText()
{
    if (x11_ != nullptr) return x11_->HoldsText();
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return false;
    // From one list of formats: each question to the owner may hold the
    // program up for Qt's whole timeout when the owner does not answer.
    const QStringList formats = data->formats();
    return formats.contains(PlainTextFormat) || formats.contains(Utf8TextFormat);
}

ClipboardRead QtClipboardBackend::FetchText(std::string& text)
{
    if (x11_ != nullptr) return x11_->FetchText(text);
    if (clipboard_->ownsClipboard() && placed_ != nullptr) {
        const QByteArray bytes = placed_->data(Utf8TextFormat);
        text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return ClipboardRead::Text;
    }
    return FetchThroughQt(text);
}

ClipboardRead QtClipboardBackend::FetchShared(std::shared_ptr<const std::string>& text)
{
    if (x11_ != nullptr) return x11_->FetchShared(text);
    return ClipboardBackend::FetchShared(text);
}

// The bytes themselves where the owner offers them: text() would pass them
// through a UTF-16 string and back, three times the text's size for a
// moment. An owner offering only the X11 string targets still goes that way,
// inside Qt.
ClipboardRead QtClipboardBackend::FetchThroughQt(std::string& text)
{
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return ClipboardRead::NoText; // an empty clipboard, to Qt
    const QStringList formats = data->formats();
    if (formats.contains(SecretHintFormat) && data->data(SecretHintFormat) == "secret") return ClipboardRead::Secret;
    QByteArray bytes;
    if (formats.contains(Utf8TextFormat)) {
        bytes = data->data(Utf8TextFormat);
    } else if (formats.contains(PlainTextFormat)) {
        bytes = data->data(PlainTextFormat);
    } else {
        return ClipboardRead::NoText;
    }
    text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return ClipboardRead::Text;
}

bool QtClipboardBackend::PlaceShared(std::shared_ptr<const std::string> text)
{
    if (x11_ != nullptr) return x11_->Place(std::move(text));
    return PlaceText(*text);
}

bool QtClipboardBackend::PlaceText(const std::string& text)
{
    if (x11_ != nullptr) return x11_->Place(std::make_shared<const std::string>(text));
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
    if (x11_ != nullptr) return x11_->ChangeCount();
    return changes_;
}

std::string QtClipboardBackend::TextEncoding() const
{
    return "UTF-8";
}
