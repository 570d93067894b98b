// The seam through which every message box of the program is shown, so tests never block on one.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

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

// Boxes that say nothing, for a failure already said once (the port's retry every 5 s).
class SilentBoxes final : public MessageBoxes {
public:
    void error(const GbkText&) override {}
    void warning(const GbkText&) override {}
    void plain(const GbkText&) override {}
    void plainWithCaption(const GbkText&, const GbkText&) override {}
    void generalError(const std::string&) override {}
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

}  // namespace zrq
