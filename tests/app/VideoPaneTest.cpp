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
    // Near-black without a picture; pictures drawn from a render thread, many
    // before one repaint, are stretched over the whole pane and the latest is
    // shown; cleared, the pane is near-black again.
    void picturesFromARenderThreadAreStretchedOverThePane() {
        VideoPane pane;
        pane.resize(160, 90);
        pane.show();
        QCOMPARE(CentreColour(pane), QColor(1, 0, 0));
        // A 4 x 2 picture: left half red, right half blue, top byte left 0 as the renderer does.
        std::vector<uint32_t> pixels = {0xff0000, 0xff0000, 0x0000ff, 0x0000ff, 0xff0000, 0xff0000, 0x0000ff, 0x0000ff};
        int drawn = 0;
        std::thread render([&] {
            for (int i = 0; i < 500; ++i)
                drawn += pane.DrawPicture(pixels.data(), 4, 2) ? 1 : 0;
        });
        render.join();
        QCOMPARE(drawn, 500);
        QVERIFY(pane.HasPicture());
        QCoreApplication::processEvents();
        const QImage shot = pane.grab().toImage();
        QCOMPARE(shot.pixelColor(5, 2), QColor(255, 0, 0));
        QCOMPARE(shot.pixelColor(154, 87), QColor(0, 0, 255));

        std::vector<uint32_t> green(64 * 48, 0x00ff00); // a new size replaces the picture
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
};

QTEST_MAIN(VideoPaneTest)
#include "VideoPaneTest.moc"
