#include "QtClipboardBackend.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

QtClipboardBackend::QtClipboardBackend() : clipboard_(QGuiApplication::clipboard())
{
    QObject::connect(clipboard_, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard) ++changes_;
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
    return formats.contains(QStringLiteral("text/plain")) || formats.contains(QStringLiteral("text/uri-list"));
}

bool QtClipboardBackend::FetchText(std::string& text)
{
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return false;
    const QByteArray bytes = data->hasText() ? data->text().toUtf8() : QByteArray();
    text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

bool QtClipboardBackend::PlaceText(const std::string& text)
{
    auto* data = new QMimeData;
    data->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
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
