// The main window's upload button and the batch upload dialog it opens.
#include "CUploadFileDlg.h"
#include "CVantorDlg.h"
#include "FakeAdbFixture.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

QWidget* FindById(const QObject* window, int id) {
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        QVariant value = widget->property("controlId");
        if (value.isValid() && value.toInt() == id)
            return widget;
    }
    return nullptr;
}

} // namespace

class VantorDlgUploadTest : public QObject {
    Q_OBJECT

private slots:
    void uploadButtonFollowsTheDialog() {
        FakeAdbFixture adb; // no devices; the current folder is a fresh one
        CVantorDlg dlg;
        dlg.show();
        auto* upload = qobject_cast<QPushButton*>(FindById(&dlg, 1200));
        QVERIFY(upload);
        QVERIFY(upload->isEnabled());

        QTest::mouseClick(upload, Qt::LeftButton);
        QVERIFY(!upload->isEnabled());
        QPointer<CUploadFileDlg> first = dlg.findChild<CUploadFileDlg*>();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QVERIFY(!first->isModal());
        QTest::mouseClick(upload, Qt::LeftButton); // disabled: nothing happens
        QCOMPARE(dlg.findChildren<CUploadFileDlg*>().size(), 1);

        // Other notices from the dialog's number are not a close.
        dlg.OnUploadClosed(1, 0);
        QVERIFY(!upload->isEnabled());
        QVERIFY(first);

        auto* close = FindById(first, 1055);
        QTRY_VERIFY_WITH_TIMEOUT(close->isEnabled(), 20000);
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(upload->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 5000);

        // The next press opens a fresh dialog; quitting with it open releases it.
        QTest::mouseClick(upload, Qt::LeftButton);
        QPointer<CUploadFileDlg> second = dlg.findChild<CUploadFileDlg*>();
        QVERIFY(second);
        QVERIFY(!upload->isEnabled());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    FakeAdbFixture::InstallOnPath();
    VantorDlgUploadTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "VantorDlgUploadTest.moc"
