// Finding the help document and the texts that say it could not be shown.
#include "app/help_file.h"

#include <QDir>
#include <QFileInfo>

namespace zrq {
namespace {

constexpr const char* kSharedDataDir = "../share/zrq";

}  // namespace

QString helpDocumentName(const QString& helpFileName) {
    return QFileInfo(helpFileName).completeBaseName() + QStringLiteral(".html");
}

QStringList helpSearchPaths(const QString& programDir, const QString& documentName) {
    const QDir dir(programDir);
    return {
        QDir::cleanPath(dir.filePath(documentName)),
        QDir::cleanPath(dir.filePath(QString::fromLatin1(kSharedDataDir) + '/' + documentName))};
}

std::optional<QString> findHelpDocument(const QStringList& paths) {
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isFile() && info.isReadable()) return info.absoluteFilePath();
    }
    return std::nullopt;
}

QString helpMissingMessage(const QString& documentName, const QStringList& searched) {
    return QString::fromUtf8("找不到帮助文件 %1。已查找以下位置：\n%2")
        .arg(documentName, searched.join(QLatin1Char('\n')));
}

QString helpNotOpenedMessage(const QString& path) {
    return QString::fromUtf8("无法打开帮助文件 %1：没有可用的浏览程序。").arg(path);
}

}  // namespace zrq
