// The message boxes of the program, shown modally with QMessageBox.
#pragma once

#include "base/message_boxes.h"

class QWidget;

namespace zrq {

class QtMessageBoxes final : public MessageBoxes {
public:
    // `parent` is the window the boxes are centred on; none centres them on the screen.
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}

    void error(const GbkText& text) override;
    void warning(const GbkText& text) override;
    void plain(const GbkText& text) override;
    void plainWithCaption(const GbkText& caption, const GbkText& text) override;
    void generalError(const std::string& text) override;

private:
    QWidget* parent_;
};

}  // namespace zrq
