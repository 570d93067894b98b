// Message boxes that are recorded instead of shown, so tests never block on one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/message_boxes.h"

namespace zrq {

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
