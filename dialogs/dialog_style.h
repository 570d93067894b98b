// Set-up shared by the dialogs: fonts asked for by family name at a pixel size, the fixed-size
// dialog frame, object names for controls, and a list whose keyboard moves count as clicks.
#pragma once

#include <QDialog>
#include <QFont>
#include <QLatin1String>
#include <QListWidget>
#include <QSize>
#include <QString>

namespace zrq {

// Pixel sizes keep the layouts as drawn whatever the screen's dots per inch; Qt falls back to
// another family when the named one is not installed.
inline QFont fontOfPixels(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}
inline QFont songTiFont(int pixels) { return fontOfPixels(QString::fromUtf8("宋体"), pixels); }
inline QFont sansSerifFont(int pixels) {
    return fontOfPixels(QStringLiteral("MS Sans Serif"), pixels);
}

// A dialog with a title bar and a close box only, in the given font, whose client area keeps
// `clientSize`.
inline void setUpFixedSizeDialog(QDialog* dialog, const QString& title, const QFont& font,
                                 QSize clientSize) {
    dialog->setWindowTitle(title);
    dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFont(font);
    dialog->setFixedSize(clientSize);
}

// Gives a control the object name the tests and the handlers know it by.
template <class Widget>
Widget* named(Widget* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// Calls `onClick` for a click on an entry and for a keyboard move through the list. Selection
// changes the dialog makes itself (loading, deleting) happen while the list may lack the focus
// and are not clicks.
template <class Dialog>
void connectEntryClicks(QListWidget* list, Dialog* dialog, void (Dialog::*onClick)()) {
    QObject::connect(list, &QListWidget::itemClicked, dialog, onClick);
    QObject::connect(list, &QListWidget::itemSelectionChanged, dialog, [list, dialog, onClick] {
        if (list->hasFocus()) (dialog->*onClick)();
    });
}

}  // namespace zrq
