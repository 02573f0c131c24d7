// MemoryClipboardBackend: a clipboard that lives in this process's memory.
//
// For unit tests: besides the backend calls
// it lets the caller play the rest of the desktop: another program copying a
// text or a picture, a clipboard held open elsewhere, a clipboard that does
// not give back the bytes it was given. It counts its reads and writes so
// that tests can see how often the clipboard was touched.
#pragma once

#include "transfer/ClipboardBackend.h"

#include <functional>
#include <optional>

class MemoryClipboardBackend final : public ClipboardBackend {
public:
    bool HoldsText() override;
    ClipboardRead FetchText(std::string& text) override;
    bool PlaceText(const std::string& text) override;
    std::uint64_t ChangeCount() override;
    std::string TextEncoding() const override;

    // Another program puts a text, or something that is not text, on the
    // clipboard.
    void SetForeignText(std::string text);
    void SetForeignNonText();
    // While false, reads and writes fail as if another program held the
    // clipboard open; HoldsText still answers.
    void SetAccessible(bool accessible) { accessible_ = accessible; }
    // While true, reads answer Pending, as a read made in the background.
    void SetPending(bool pending) { pending_ = pending; }
    // Applied to every text placed by this program, as a desktop that stores
    // text in another form would change it on the way back.
    void SetStoreFilter(std::function<std::string(const std::string&)> filter);
    // An encoding other than the locale's for the bytes exchanged.
    void SetTextEncoding(std::string encoding) { encoding_ = std::move(encoding); }

    // The clipboard's content as stored (nothing when it holds no text).
    const std::optional<std::string>& Content() const { return content_; }
    int FetchCount() const { return fetches_; }
    int PlaceCount() const { return places_; }

private:
    std::optional<std::string> content_;
    std::uint64_t changes_ = 0;
    bool accessible_ = true;
    bool pending_ = false;
    std::function<std::string(const std::string&)> storeFilter_;
    std::string encoding_;
    int fetches_ = 0;
    int places_ = 0;
};
