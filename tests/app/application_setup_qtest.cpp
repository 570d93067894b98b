// The application's settings: the toolkit's own dialogs and menus speak Chinese like the rest.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <memory>

#include "app/application_setup.h"

using namespace zrq;

class ApplicationSetupTest : public QObject {
    Q_OBJECT
private slots:
    void toolkitTextsAreChinese();
};

void ApplicationSetupTest::toolkitTextsAreChinese() {
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Save As"), QStringLiteral("Save As"));
    QVERIFY(loadToolkitTranslations());
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Save As"), QString::fromUtf8("另存为"));

    // A text field's menu, as the monitor's and the dialogs' fields show it.
    QLineEdit field;
    const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator()) texts << action->text();
    }
    QVERIFY(!texts.isEmpty());
    QVERIFY2(!texts.contains(QStringLiteral("&Copy")), qPrintable(texts.join(u' ')));
    QVERIFY2(texts.join(QString()).contains(QString::fromUtf8("复制")),
             qPrintable(texts.join(u' ')));
}

QTEST_MAIN(ApplicationSetupTest)
#include "application_setup_qtest.moc"
