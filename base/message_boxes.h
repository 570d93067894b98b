// The seam through which every message box of the program is shown, so tests never block on one.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "base/gbk_text.h"

namespace zrq {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Error box: caption "错误", error icon, OK. Serial-port set-up failures.
    virtual void error(const GbkText& text) = 0;
    // Warning box: caption "Warning", warning icon, OK. "File access error".
    virtual void warning(const GbkText& text) = 0;
    // Plain box: caption "ZRQ", no icon, OK. All other messages.
    virtual void plain(const GbkText& text) = 0;
    // Plain box with a caption of its own (the second-instance message, caption "警告").
    virtual void plainWithCaption(const GbkText& caption, const GbkText& text) = 0;
    // General error report: a failure no handler caught; the text is the failure's own (UTF-8).
    virtual void generalError(const std::string& text) = 0;
};

// A failure of the file layer (open, read, write, rename, close); what() is the OS's text.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs one handler; a failure it does not catch goes to the general error report and the rest of
// the handler is skipped.
template <class Handler>
void runGuarded(MessageBoxes& boxes, Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        boxes.generalError(e.what());
    }
}

// Records boxes instead of showing them. Texts are kept as UTF-8 for readable assertions.
class RecordingMessageBoxes final : public MessageBoxes {
public:
    enum class Kind { Error, Warning, Plain, GeneralError };
    struct Shown {
        Kind kind;
        std::string caption;  // UTF-8
        std::string text;     // UTF-8
    };

    void error(const GbkText& text) override { record(Kind::Error, "错误", text.toUtf8()); }
    void warning(const GbkText& text) override { record(Kind::Warning, "Warning", text.toUtf8()); }
    void plain(const GbkText& text) override { record(Kind::Plain, "ZRQ", text.toUtf8()); }
    void plainWithCaption(const GbkText& caption, const GbkText& text) override {
        record(Kind::Plain, caption.toUtf8(), text.toUtf8());
    }
    void generalError(const std::string& text) override { record(Kind::GeneralError, "ZRQ", text); }

    std::vector<Shown> shown;
    // Runs while a box is "open", as the user's event loop would.
    std::function<void(const Shown&)> whileShown;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& s : shown) out.push_back(s.text);
        return out;
    }

private:
    void record(Kind kind, std::string caption, std::string text) {
        shown.push_back({kind, std::move(caption), std::move(text)});
        if (whileShown) whileShown(shown.back());
    }
};

}  // namespace zrq
