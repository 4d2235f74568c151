#include "app/VideoPane.h"

#include <QImage>
#include <QtTest>

#include <thread>
#include <vector>

class VideoPaneTest : public QObject {
    Q_OBJECT

private:
    static QColor CentreColour(VideoPane& pane) {
        const QImage shot = pane.grab().toImage();
        return shot.pixelColor(shot.width() / 2, shot.height() / 2);
    }

private slots:
    // Near-black without a picture; a picture drawn from a render thread is
    // stretched over the whole pane; cleared, the pane is near-black again.
    void pictureFromARenderThreadIsStretchedOverThePane() {
        VideoPane pane;
        pane.resize(160, 90);
        pane.show();
        const QImage empty = pane.grab().toImage();
        QCOMPARE(empty.pixelColor(0, 0), QColor(1, 0, 0));
        QCOMPARE(empty.pixelColor(159, 89), QColor(1, 0, 0));
        // A 4 x 2 picture: left half red, right half blue, top byte left 0 as the renderer does.
        std::vector<uint32_t> pixels = {0xff0000, 0xff0000, 0x0000ff, 0x0000ff, 0xff0000, 0xff0000, 0x0000ff, 0x0000ff};
        bool drawn = false;
        std::thread render([&] { drawn = pane.DrawPicture(pixels.data(), 4, 2); });
        render.join();
        QVERIFY(drawn);
        QVERIFY(pane.HasPicture());
        QCoreApplication::processEvents();
        const QImage shot = pane.grab().toImage();
        QCOMPARE(shot.pixelColor(5, 45), QColor(255, 0, 0));
        QCOMPARE(shot.pixelColor(154, 45), QColor(0, 0, 255));
        QCOMPARE(shot.pixelColor(5, 2), QColor(255, 0, 0)); // the whole height is covered

        // A new size replaces the picture; the latest one is shown.
        std::vector<uint32_t> green(64 * 48, 0x00ff00);
        QVERIFY(pane.DrawPicture(green.data(), 64, 48));
        QCOMPARE(CentreColour(pane), QColor(0, 255, 0));

        pane.ClearPicture();
        QVERIFY(!pane.HasPicture());
        QCOMPARE(CentreColour(pane), QColor(1, 0, 0));
    }

    void badPicturesAreRefused() {
        VideoPane pane;
        uint32_t pixel = 0xffffff;
        QVERIFY(!pane.DrawPicture(nullptr, 1, 1));
        QVERIFY(!pane.DrawPicture(&pixel, 0, 1));
        QVERIFY(!pane.DrawPicture(&pixel, 1, -1));
        QVERIFY(!pane.DrawPicture(&pixel, 100000, 1));
        QVERIFY(!pane.HasPicture());
    }

    void repaintsAreScheduledFromManyPictures() {
        VideoPane pane;
        pane.resize(32, 32);
        pane.show();
        std::vector<uint32_t> grey(8 * 8, 0x808080);
        std::thread render([&] {
            for (int i = 0; i < 500; ++i) {
                pane.DrawPicture(grey.data(), 8, 8);
            }
        });
        render.join();
        QCoreApplication::processEvents();
        QCOMPARE(CentreColour(pane), QColor(128, 128, 128));
    }
};

QTEST_MAIN(VideoPaneTest)
#include "VideoPaneTest.moc"
