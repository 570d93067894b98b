// TAboutBox, "关于软件": the program's picture, name, version and build date, the maker with a
// link to its web site, the change history and an OK button. Shown modally from the menu.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace zrq {

inline constexpr const char* kProductName = "ZRQ 时钟同步";
inline constexpr const char* kMakerName = "Horivo";
inline constexpr const char* kMakerSite = "https://horivo.example/zrq";

// The version and build date the program was built with ("1.0.0", "2024-05-01").
const char* programVersion();
const char* programBuildDate();

class TAboutBox final : public QDialog {
    Q_OBJECT
public:
    // Opens a web address in the default browser; false when nothing could open it.
    using LinkOpener = std::function<bool(const QUrl&)>;

    explicit TAboutBox(QWidget* parent = nullptr);

    // Replaces the default browser as the way the maker's link is opened (tests record it).
    void setLinkOpener(LinkOpener opener) { openLink_ = std::move(opener); }

    // A click on the maker's link.
    void LinkClick(const QString& address);

private:
    QLabel* makeLabel(const char* name, const QString& text);

    LinkOpener openLink_;
    QLabel* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QLabel* Maker = nullptr;
    QLabel* HistoryTitle = nullptr;
    QPlainTextEdit* History = nullptr;
    QPushButton* OKButton = nullptr;
};

}  // namespace zrq
