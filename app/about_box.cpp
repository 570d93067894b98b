// The about dialog's contents and layout; its size follows the texts, so no font clips them.
#include "app/about_box.h"

#include <QDesktopServices>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/tray.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "0.0.0"
#endif
#ifndef ZRQ_BUILD_DATE
#define ZRQ_BUILD_DATE __DATE__
#endif

namespace zrq {
namespace {

constexpr int kPicturePixels = 64;
constexpr int kProductNamePixels = 18;
constexpr int kHistoryWidth = 470;
constexpr int kHistoryHeight = 150;

constexpr const char* kHistory =
    "1.0.0\n"
    "· 在 Linux 桌面运行：串口经终端接口收发，本机时钟经系统接口设置。\n"
    "· 支持 TVZ_CODE、EB_CODE、ST_CODE 三种时间码，4800 和 9600 波特。\n"
    "· 每分钟、每小时或每天固定时间点校时，可立即校正；检测并记录跳动。\n"
    "· 保存设置时先写临时文件再替换，保存失败不会留下残缺的设置文件。\n"
    "· 系统拒绝设置时间时不向设备应答，并记录失败原因。\n"
    "· 通讯观测窗口最多保留 100000 行，通讯记录文件保存全部内容。\n"
    "· 没有系统托盘时，“缩至任务栏”保持显示条显示。";

QString utf8(const char* text) { return QString::fromUtf8(text); }

}  // namespace

const char* programVersion() { return ZRQ_VERSION; }

const char* programBuildDate() { return ZRQ_BUILD_DATE; }

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent), openLink_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(utf8("关于软件"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(programIcon());

    ProgramIcon = makeLabel("ProgramIcon", QString());
    ProgramIcon->setPixmap(programIcon().pixmap(kPicturePixels, kPicturePixels));
    ProgramIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    ProductName = makeLabel("ProductName", utf8(kProductName));
    QFont nameFont = ProductName->font();
    nameFont.setPixelSize(kProductNamePixels);
    nameFont.setBold(true);
    ProductName->setFont(nameFont);

    Version = makeLabel(
        "Version", utf8("版本 %1　　日期 %2")
                       .arg(QLatin1String(programVersion()), QLatin1String(programBuildDate())));
    Maker = makeLabel("Maker", utf8("制作：%1　<a href=\"%2\">%2</a>")
                                   .arg(QLatin1String(kMakerName), QLatin1String(kMakerSite)));
    Maker->setTextFormat(Qt::RichText);
    Maker->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    Maker->setToolTip(QLatin1String(kMakerSite));
    connect(Maker, &QLabel::linkActivated, this, &TAboutBox::LinkClick);

    HistoryTitle = makeLabel("HistoryTitle", utf8("版本历史"));
    QFont titleFont = HistoryTitle->font();
    titleFont.setBold(true);
    HistoryTitle->setFont(titleFont);
    History = new QPlainTextEdit(utf8(kHistory), this);
    History->setObjectName(QStringLiteral("History"));
    History->setReadOnly(true);
    History->setFixedSize(kHistoryWidth, kHistoryHeight);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* texts = new QVBoxLayout;
    texts->addWidget(ProductName);
    texts->addWidget(Version);
    texts->addWidget(Maker);
    texts->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(ProgramIcon);
    top->addLayout(texts, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(HistoryTitle);
    layout->addWidget(History);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
    // Fixed at the size the contents ask for, whatever font stands in for the requested one.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QLabel* TAboutBox::makeLabel(const char* name, const QString& text) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    return label;
}

void TAboutBox::LinkClick(const QString& address) {
    if (openLink_) openLink_(QUrl(address));
}

}  // namespace zrq
