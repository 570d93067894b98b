// Where the help document lies: the menu names a help file, and the program opens the HTML
// document of the same base name, beside the program or in its shared-data folder.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace zrq {

inline constexpr const char* kHelpFileName = "ZEQU.hlp";  // the name the help entry asks for

// The HTML document standing in for a help file: same base name, ".html" ("ZEQU.hlp" ->
// "ZEQU.html").
QString helpDocumentName(const QString& helpFileName);

// The places looked at, in order: beside the program, then ../share/zrq/ relative to it (where an
// installation under a prefix puts it). Paths are cleaned, so a message shows them plainly.
QStringList helpSearchPaths(const QString& programDir, const QString& documentName);

// The first of `paths` that is a readable regular file.
std::optional<QString> findHelpDocument(const QStringList& paths);

// The message for a document found nowhere: its name and every place looked at.
QString helpMissingMessage(const QString& documentName, const QStringList& searched);

// The message for a document that was found but that no viewer would open.
QString helpNotOpenedMessage(const QString& path);

}  // namespace zrq
