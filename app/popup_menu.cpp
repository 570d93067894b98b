// The pop-up menu's 28 entries in order, with their tags, groups, kinds and design states.
#include "app/popup_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QString>
#include <QVariant>

#include "serial/serial_library.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {

// Dynamic properties every entry carries, separators included.
constexpr const char* kKindProperty = "zrqEntryKind";
constexpr const char* kGroupProperty = "zrqGroup";

}  // namespace

PopupMenu1::PopupMenu1(QWidget* parent) : QMenu(parent) {
    setObjectName("PopupMenu1");
    formatGroup_ = new QActionGroup(this);
    formatGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);

    N31 = addEntry("N31", "TVZ_CODE", 1, MenuEntryKind::Radio, TVZ_CODE);
    N11 = addEntry("N11", "EB_CODE", 1, MenuEntryKind::Radio, EB_CODE);
    N10 = addEntry("N10", "ST_CODE", 1, MenuEntryKind::Radio, ST_CODE);
    addGroupSeparator(1);
    com11 = addEntry("com11", "COM1", 2, MenuEntryKind::Check, 1);
    com21 = addEntry("com21", "COM2", 2, MenuEntryKind::Check, 2);
    com31 = addEntry("com31", "COM3", 2, MenuEntryKind::Check, 3);
    com41 = addEntry("com41", "COM4", 2, MenuEntryKind::Check, 4);
    N21 = addEntry("N21", ">>... ", 2, MenuEntryKind::Check);
    addGroupSeparator(2);
    N48001 = addEntry("N48001", "4800", 3, MenuEntryKind::Check, kBaudCode4800);
    N96001 = addEntry("N96001", "9600", 3, MenuEntryKind::Check, kBaudCode9600);
    addGroupSeparator(5);
    N6 = addEntry("N6", "立即校正", 5, MenuEntryKind::Command);
    addGroupSeparator(5);
    N16 = addEntry("N16", "通讯观测>>", 5, MenuEntryKind::Command);
    N3 = addEntry("N3", "校时设置>>", 5, MenuEntryKind::Command);
    addGroupSeparator(5);
    N4 = addEntry("N4", "跳动不校时", 6, MenuEntryKind::Check);
    N12 = addEntry("N12", "跳动记录", 6, MenuEntryKind::Check);
    N18 = addEntry("N18", "通讯记录", 6, MenuEntryKind::Check);
    addGroupSeparator(6);
    N15 = addEntry("N15", "ZEQU帮助", 6, MenuEntryKind::Command);
    About1 = addEntry("About1", "关于软件>>", 7, MenuEntryKind::Command);
    addGroupSeparator(7);
    N20 = addEntry("N20", "恢复显示条", 7, MenuEntryKind::Command);
    N19 = addEntry("N19", "缩至任务栏", 7, MenuEntryKind::Command);
    N8 = addEntry("N8", "关闭退出", 8, MenuEntryKind::Command);

    // Design states; start-up sets the format, port and baud marks afterwards.
    N4->setChecked(true);
    N4->setEnabled(false);
    N12->setChecked(true);
    N18->setChecked(false);
    N20->setVisible(false);
}

QAction* PopupMenu1::addEntry(const char* name, const char* captionUtf8, int group,
                              MenuEntryKind kind, int tag) {
    QAction* entry = addAction(QString::fromUtf8(captionUtf8));
    entry->setObjectName(QString::fromLatin1(name));
    entry->setData(tag);
    entry->setProperty(kKindProperty, static_cast<int>(kind));
    entry->setProperty(kGroupProperty, group);
    if (kind == MenuEntryKind::Radio || kind == MenuEntryKind::Check) entry->setCheckable(true);
    if (kind == MenuEntryKind::Radio) formatGroup_->addAction(entry);
    return entry;
}

void PopupMenu1::addGroupSeparator(int group) {
    QAction* separator = addSeparator();
    separator->setProperty(kKindProperty, static_cast<int>(MenuEntryKind::Separator));
    separator->setProperty(kGroupProperty, group);
}

void PopupMenu1::setPortItemChecked(int tag, bool checked) {
    if (QAction* item = portItem(tag)) item->setChecked(checked);
}

void PopupMenu1::setOtherPortChecked(bool checked) { N21->setChecked(checked); }

void PopupMenu1::setOtherPortCaption(const std::string& ascii) {
    N21->setText(QString::fromLatin1(ascii.data(), static_cast<qsizetype>(ascii.size())));
}

void PopupMenu1::setBaudItemChecked(int baudCode, bool checked) {
    if (QAction* item = baudItem(baudCode)) item->setChecked(checked);
}

void PopupMenu1::setFormatItemChecked(int format, bool checked) {
    if (QAction* item = formatItem(format)) item->setChecked(checked);
}

QAction* PopupMenu1::formatItem(int format) const {
    switch (format) {
        case TVZ_CODE:
            return N31;
        case EB_CODE:
            return N11;
        case ST_CODE:
            return N10;
        default:
            return nullptr;
    }
}

QAction* PopupMenu1::portItem(int tag) const {
    switch (tag) {
        case 1:
            return com11;
        case 2:
            return com21;
        case 3:
            return com31;
        case 4:
            return com41;
        default:
            return nullptr;
    }
}

QAction* PopupMenu1::baudItem(int baudCode) const {
    if (baudCode == kBaudCode4800) return N48001;
    if (baudCode == kBaudCode9600) return N96001;
    return nullptr;
}

MenuEntryKind PopupMenu1::kindOf(const QAction* entry) {
    return static_cast<MenuEntryKind>(entry->property(kKindProperty).toInt());
}

int PopupMenu1::tagOf(const QAction* entry) { return entry->data().toInt(); }

int PopupMenu1::groupOf(const QAction* entry) { return entry->property(kGroupProperty).toInt(); }

}  // namespace zrq
