#include "CVantorApp.h"
#include "CVantorDlg.h"
#include "MessageBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class VantorAppTest : public QObject {
    Q_OBJECT

private slots:
    void nameAndVersion() {
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Vantor"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.0.0.1"));
        QCOMPARE(CVantorApp::ProductName(), QStringLiteral("Vantor Live"));
    }

    void initInstanceRunsTheMainWindowModallyAndReturnsFalse() {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        MessageBox::SetRecording(true);

        QString caption;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* dlg = qobject_cast<CVantorDlg*>(QApplication::activeModalWidget())) {
                caption = dlg->windowTitle();
                dlg->reject(); // as the close box does
            }
        });
        poll.start();
        const bool result = static_cast<CVantorApp*>(qApp)->InitInstance();
        poll.stop();
        QDir::setCurrent(previous);

        QCOMPARE(result, false);
        QCOMPARE(caption, QStringLiteral("Vantor"));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("LiveData.mdb"))));
        QVERIFY(MessageBox::TakeRecorded().isEmpty());
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            QVERIFY(!qobject_cast<CVantorDlg*>(widget)); // destroyed after the run
        }
    }
};

int main(int argc, char** argv) {
    CVantorApp app(argc, argv);
    VantorAppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "VantorAppTest.moc"
