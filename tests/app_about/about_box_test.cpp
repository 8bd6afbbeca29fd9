// The about box, offscreen: caption, controls where they belong, the picture decoded from its
// JPEG with libjpeg and stretched into its place, closing by the OK button and by Enter; and the
// decoder on data that is no JPEG.

#include <QApplication>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "about_box.h"

using tavrinth::DecodeJpeg;
using tavrinth::TfmAbout;

class AboutBoxTest : public QObject {
    Q_OBJECT

private slots:
    void showsNameVersionAndPicture() {
        TfmAbout about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(about.objectName(), QStringLiteral("fmAbout"));
        QCOMPARE(about.windowTitle(), QStringLiteral("Tavrinth version 1.3"));
        QCOMPARE(about.size(), QSize(364, 317));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY(!(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

        QCOMPARE(about.Bevel1->geometry(), QRect(8, 6, 349, 243));
        QCOMPARE(about.Bevel1->frameShadow(), QFrame::Sunken);
        QCOMPARE(about.Label1->text(), QStringLiteral("Tavrinth "));
        QCOMPARE(about.Label1->pos(), QPoint(24, 30));
        QCOMPARE(about.Label1->font().pixelSize(), 19);
        QVERIFY(about.Label1->font().bold());
        QCOMPARE(about.font().pixelSize(), 11);
        QCOMPARE(about.BitBtn1->geometry(), QRect(273, 279, 75, 25));
        QCOMPARE(about.BitBtn1->text(), QStringLiteral("OK"));
        QVERIFY(about.BitBtn1->isDefault());
        QVERIFY(!about.BitBtn1->icon().isNull());

        // The picture: 361 x 84 as decoded, drawn stretched to 169 x 38.
        const QImage& picture = about.Picture();
        QCOMPARE(picture.size(), QSize(361, 84));
        QCOMPARE(about.Image1->geometry(), QRect(173, 12, 169, 38));
        QVERIFY(about.Image1->hasScaledContents());
        QCOMPARE(about.Image1->pixmap().size(), QSize(361, 84));
        const QImage shown = about.grab(about.Image1->geometry()).toImage();
        QSet<QRgb> colours;
        for (int y = 0; y < shown.height(); y += 3)
            for (int x = 0; x < shown.width(); x += 3) colours.insert(shown.pixel(x, y) & 0xF0F0F0);
        QVERIFY2(colours.size() > 20, "the picture's place shows no picture");
        // Dusk blue at the top, the hills' dark green at the bottom.
        QVERIFY(qBlue(picture.pixel(200, 1)) > qRed(picture.pixel(200, 1)));
        QVERIFY(qGreen(picture.pixel(200, 82)) > qBlue(picture.pixel(200, 82)));
    }

    void closesByOkAndByEnter() {
        TfmAbout about;
        QTimer::singleShot(0, &about, [&] { QTest::mouseClick(about.BitBtn1, Qt::LeftButton); });
        QCOMPARE(about.exec(), int(QDialog::Accepted));
        QTimer::singleShot(0, &about, [&] { QTest::keyClick(&about, Qt::Key_Return); });
        QCOMPARE(about.exec(), int(QDialog::Accepted));
        QVERIFY(!about.isVisible());
    }

    void decoderRefusesWhatIsNoJpeg() {
        QString error;
        QVERIFY(DecodeJpeg(QByteArray(), &error).isNull());
        QVERIFY(!error.isEmpty());
        QVERIFY(DecodeJpeg(QByteArray("GIF89a not a jpeg at all"), &error).isNull());
        QVERIFY(!error.isEmpty());

        QFile file(QStringLiteral(":/about/about_picture.jpg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray jpeg = file.readAll();
        // Cut short, and with its header damaged: an error or a picture, never a crash.
        for (const int cut : {2, 20, 200, int(jpeg.size()) / 2}) {
            const QImage part = DecodeJpeg(jpeg.left(cut), &error);
            QVERIFY(part.isNull() || part.size() == QSize(361, 84));
        }
        QByteArray damaged = jpeg;
        for (int i = 20; i < 200; i += 7) damaged[i] = char(0xFF);
        const QImage broken = DecodeJpeg(damaged, &error);
        QVERIFY(broken.isNull() || broken.size() == QSize(361, 84));
    }
};

QTEST_MAIN(AboutBoxTest)
#include "about_box_test.moc"
