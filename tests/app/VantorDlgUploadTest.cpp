// The main window's upload button and the batch upload dialog it opens.
#include "app/AddDlg.h"
#include "app/CVantorApp.h"
#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "tests/upload/FakeAdbFixture.h"
#include "upload/CUploadFileDlg.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

// Every text a window shows (titles, tool tips, captions, labels, list
// headers and cells) that holds a Chinese character or full-width sign.
QStringList ChineseTexts(QWidget* window) {
    QStringList texts;
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* widget : widgets) {
        for (const char* property : {"windowTitle", "toolTip", "text", "title"})
            texts << widget->property(property).toString();
        if (auto* list = qobject_cast<QTreeWidget*>(widget))
            for (int column = 0; column < list->columnCount(); ++column) {
                texts << list->headerItem()->text(column);
                for (int row = 0; row < list->topLevelItemCount(); ++row)
                    texts << list->topLevelItem(row)->text(column);
            }
    }
    return texts.filter(QRegularExpression(QStringLiteral("[\\x{2E80}-\\x{FFEF}]")));
}

} // namespace

class VantorDlgUploadTest : public QObject {
    Q_OBJECT

private slots:
    // The button stays off while its (non-modal) dialog is open, and each
    // press opens a fresh one. In English no window shows Chinese, with the
    // texts written as states change: ready rows, refused talk and record, a
    // finished upload.
    void uploadButtonFollowsTheDialogInEnglish() {
        FakeAdbFixture adb; // the current folder is a fresh one
        adb.AddDevice("S1", "Watch-1");
        adb.AddFiles("S1", "Tavoren_photos", 2);
        DeviceStore store;
        QCOMPARE(store.Load(4, [](int, int, const std::string&) {}), 0);
        QCOMPARE(store.Assign(0, "CAM-1"), 0);
        QVERIFY(CVantorApp::UseLanguage(CVantorApp::Language::English));
        CVantorDlg dlg;
        dlg.show();
        qobject_cast<QTreeWidget*>(FindControl(&dlg, 1206))->topLevelItem(0)->setSelected(true);
        dlg.OnBnClickedTalk();
        dlg.OnBnClickedRecord();
        auto* button = qobject_cast<QPushButton*>(FindControl(&dlg, 1200));
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(!button->isEnabled());
        QPointer<CUploadFileDlg> first = dlg.findChild<CUploadFileDlg*>();
        QVERIFY(first && first->isVisible() && !first->isModal());
        dlg.OnUploadClosed(1, 0); // not a close
        QVERIFY(!button->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(first->RowState[0], 2, 20000);
        AddDlg add(&dlg);
        const QStringList chinese = ChineseTexts(&dlg) + ChineseTexts(first) + ChineseTexts(&add);
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QStringLiteral(" | "))));

        auto* close = FindControl(first, 1055);
        QTRY_VERIFY_WITH_TIMEOUT(close->isEnabled(), 20000);
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(button->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 5000);
        QTest::mouseClick(button, Qt::LeftButton); // quitting with this one open releases it
        QVERIFY(dlg.findChild<CUploadFileDlg*>());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    VantorDlgUploadTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "VantorDlgUploadTest.moc"
