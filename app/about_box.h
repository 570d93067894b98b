// TAboutBox: the about dialog, shown modally from the menu entry "关于软件>>".
#pragma once

#include <QDialog>

namespace zrq {

class TAboutBox final : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
};

}  // namespace zrq
