// The application title, desktop entry and quit policy, set once before any window exists.
#include "app/application_setup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QString>
#include <QTranslator>

namespace zrq {
namespace {

// The interface texts are simplified Chinese whatever the desktop's language is.
constexpr const char* kToolkitTranslation = "qtbase_zh_CN";

}  // namespace

void configureApplication() {
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    QApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    // No display name: the toolkit would append it to every caption ("错误 — ZRQ").
    // The bar is a tool window and does not keep the program alive, nor do the message boxes.
    QApplication::setQuitOnLastWindowClosed(false);
    loadToolkitTranslations();
}

bool loadToolkitTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QString::fromLatin1(kToolkitTranslation),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator)) {
        return true;
    }
    delete translator;
    return false;
}

}  // namespace zrq
