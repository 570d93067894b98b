// Modal QMessageBox boxes with an OK button; GBK texts are shown after conversion to UTF-8.
#include "app/qt_message_boxes.h"

#include <QMessageBox>
#include <QString>

namespace zrq {
namespace {

void showBox(QWidget* parent, QMessageBox::Icon icon, const std::string& captionUtf8,
             const std::string& textUtf8) {
    QMessageBox box(icon, QString::fromStdString(captionUtf8), QString::fromStdString(textUtf8),
                    QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

void QtMessageBoxes::error(const GbkText& text) {
    showBox(parent_, QMessageBox::Critical, "错误", text.toUtf8());
}

void QtMessageBoxes::warning(const GbkText& text) {
    showBox(parent_, QMessageBox::Warning, "Warning", text.toUtf8());
}

void QtMessageBoxes::plain(const GbkText& text) {
    showBox(parent_, QMessageBox::NoIcon, "ZRQ", text.toUtf8());
}

void QtMessageBoxes::plainWithCaption(const GbkText& caption, const GbkText& text) {
    showBox(parent_, QMessageBox::NoIcon, caption.toUtf8(), text.toUtf8());
}

void QtMessageBoxes::generalError(const std::string& text) {
    showBox(parent_, QMessageBox::NoIcon, "ZRQ", text);
}

}  // namespace zrq
