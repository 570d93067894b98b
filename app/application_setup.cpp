// The application title, desktop entry and quit policy, set once before any window exists.
#include "app/application_setup.h"

#include <QApplication>
#include <QString>

namespace zrq {

void configureApplication() {
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    QApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    // No display name: the toolkit would append it to every caption ("错误 — ZRQ").
    // The bar is a tool window and does not keep the program alive, nor do the message boxes.
    QApplication::setQuitOnLastWindowClosed(false);
}

}  // namespace zrq
