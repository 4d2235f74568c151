#include "CVantorApp.h"
#include "CVantorDlg.h"
#include "MessageBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

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
        QVERIFY(static_cast<CVantorApp*>(qApp)->CheckWorkingDirectory());
        QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)); // probe removed
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

    // No user, root included, may create files in /proc; a read-only folder
    // stops everyone but root.
    void unwritableFolderIsNamedInAMessageBox_data() {
        QTest::addColumn<bool>("procfs");
        QTest::newRow("nobody may write") << true;
        QTest::newRow("read-only folder") << false;
    }
    void unwritableFolderIsNamedInAMessageBox() {
        QFETCH(bool, procfs);
        QTemporaryDir scratch;
        QString folder = QStringLiteral("/proc");
        if (!procfs) {
            if (geteuid() == 0)
                QSKIP("root writes into read-only folders");
            folder = scratch.filePath(QStringLiteral("locked"));
            QVERIFY(QDir().mkdir(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder));
        MessageBox::SetRecording(true);
        const bool writable = static_cast<CVantorApp*>(qApp)->CheckWorkingDirectory();
        QDir::setCurrent(previous);

        QVERIFY(!writable);
        const QStringList shown = MessageBox::TakeRecorded();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].contains(QStringLiteral("\n%1\n").arg(folder)), qPrintable(shown[0]));
    }
};

int main(int argc, char** argv) {
    CVantorApp app(argc, argv);
    VantorAppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "VantorAppTest.moc"
