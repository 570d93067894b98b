// The program's icon resource: present in every program linking the application library, one
// picture per size, square and with a clear background, so trays and menus show only the clock.
#include <QImage>
#include <QTest>

namespace {

QString sizedResource(int pixels) { return QStringLiteral(":/icons/zrq-%1.png").arg(pixels); }

bool cornersAreClear(const QImage& image) {
    const int last = image.width() - 1;
    return qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(last, 0)) == 0 &&
           qAlpha(image.pixel(0, last)) == 0;
}

}  // namespace

class IconResourceTest : public QObject {
    Q_OBJECT

private slots:
    void eachSizeIsItsOwnPicture_data() {
        QTest::addColumn<int>("pixels");
        for (int pixels : {16, 32, 48, 64, 128, 256}) QTest::addRow("%d px", pixels) << pixels;
    }

    void eachSizeIsItsOwnPicture() {
        QFETCH(int, pixels);
        const QImage image(sizedResource(pixels));
        QVERIFY2(!image.isNull(), qPrintable(sizedResource(pixels) + " is missing"));
        QCOMPARE(image.size(), QSize(pixels, pixels));
        QVERIFY(image.hasAlphaChannel());
        QVERIFY(cornersAreClear(image));
    }

    // The name the tray and the about box ask for is the largest picture, so scaling it down
    // for either never blurs an enlarged small one.
    void plainNameIsTheLargestPicture() {
        const QImage plain(QStringLiteral(":/icons/zrq.png"));
        const QImage largest(sizedResource(256));
        QVERIFY(!plain.isNull());
        QCOMPARE(plain, largest);
    }
};

QTEST_GUILESS_MAIN(IconResourceTest)
#include "icon_qtest.moc"
