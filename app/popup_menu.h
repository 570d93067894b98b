// PopupMenu1: the bar's pop-up menu with every entry in its fixed order, and the check marks the
// port, rate and format switches set on it.
#pragma once

#include <QMenu>

#include <string>

#include "timecode/port_switch.h"

class QAction;
class QActionGroup;

namespace zrq {

inline constexpr int kPopupMenuEntryCount = 28;  // separators included

// How an entry behaves when chosen.
enum class MenuEntryKind { Radio, Check, Command, Separator };

class PopupMenu1 final : public QMenu, public SwitchMarks {
    Q_OBJECT
public:
    explicit PopupMenu1(QWidget* parent = nullptr);

    // SwitchMarks
    void setPortItemChecked(int tag, bool checked) override;
    void setOtherPortChecked(bool checked) override;
    void setOtherPortCaption(const std::string& ascii) override;
    void setBaudItemChecked(int baudCode, bool checked) override;
    void setFormatItemChecked(int format, bool checked) override;

    // The entry of a tag; nullptr for a tag no entry carries.
    QAction* formatItem(int format) const;  // 1..3
    QAction* portItem(int tag) const;       // 1..4
    QAction* baudItem(int baudCode) const;  // 10, 12

    // The kind an entry was made as; its tag (0 when it has none) and group number.
    static MenuEntryKind kindOf(const QAction* entry);
    static int tagOf(const QAction* entry);
    static int groupOf(const QAction* entry);

    QAction* N31 = nullptr;     // "TVZ_CODE"
    QAction* N11 = nullptr;     // "EB_CODE"
    QAction* N10 = nullptr;     // "ST_CODE"
    QAction* com11 = nullptr;   // "COM1"
    QAction* com21 = nullptr;   // "COM2"
    QAction* com31 = nullptr;   // "COM3"
    QAction* com41 = nullptr;   // "COM4"
    QAction* N21 = nullptr;     // ">>... ", the port dialog; names a port above 4 while in use
    QAction* N48001 = nullptr;  // "4800"
    QAction* N96001 = nullptr;  // "9600"
    QAction* N6 = nullptr;      // "立即校正"
    QAction* N16 = nullptr;     // "通讯观测>>"
    QAction* N3 = nullptr;      // "校时设置>>"
    QAction* N4 = nullptr;      // "跳动不校时", checked and never choosable
    QAction* N12 = nullptr;     // "跳动记录"
    QAction* N18 = nullptr;     // "通讯记录"
    QAction* N15 = nullptr;     // "ZEQU帮助"
    QAction* About1 = nullptr;  // "关于软件>>"
    QAction* N20 = nullptr;     // "恢复显示条", shown only while the bar is in the tray
    QAction* N19 = nullptr;     // "缩至任务栏"
    QAction* N8 = nullptr;      // "关闭退出"

private:
    QAction* addEntry(const char* name, const char* captionUtf8, int group, MenuEntryKind kind,
                      int tag = 0);
    void addGroupSeparator(int group);

    QActionGroup* formatGroup_ = nullptr;
};

}  // namespace zrq
