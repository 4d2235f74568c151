#include "app/CVantorApp.h"
#include "app/CVantorDlg.h"
#include "app/MessageBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

#include <vector>

class VantorAppTest : public QObject {
    Q_OBJECT

private slots:
    void initInstanceRunsTheMainWindowModallyAndReturnsFalse() {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        MessageBox::SetRecording(true);
        int shown = 0;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* dlg = qobject_cast<CVantorDlg*>(QApplication::activeModalWidget())) {
                ++shown;
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
        QCOMPARE(shown, 1);
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("LiveData.mdb"))));
        QVERIFY(MessageBox::TakeRecorded().isEmpty());
        for (QWidget* widget : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<CVantorDlg*>(widget)); // destroyed after the run
    }

    // --lang wins; otherwise the first of LC_ALL, LC_MESSAGES and LANG that
    // is set, English only for an English locale. A --lang without en or zh
    // is refused before any window.
    void languageFromArgumentsAndLocale_data() {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("locale"); // LC_ALL|LC_MESSAGES|LANG, empty = unset
        QTest::addColumn<bool>("english");
        QTest::addColumn<int>("status"); // of AnswerCommandLine; -1 = none
        auto row = [](const char* name, const char* args, const char* locale, bool english, int status) {
            QTest::newRow(name) << QString(args) << QString(locale) << english << status;
        };
        row("C.UTF-8 keeps Chinese", "", "||C.UTF-8", false, -1);
        row("nothing set", "", "||", false, -1);
        row("POSIX over English LANG", "", "POSIX||en_US.UTF-8", false, -1);
        row("English LANG", "", "||en_GB.UTF-8", true, -1);
        row("LC_MESSAGES over LANG", "", "|en|zh_CN.UTF-8", true, -1);
        row("--lang en", "--lang en", "||zh_CN.UTF-8", true, -1);
        row("--lang zh", "--lang zh", "en_US.UTF-8||", false, -1);
        row("--lang fr refused", "--lang fr", "||", false, 2);
    }
    void languageFromArgumentsAndLocale() {
        QFETCH(QString, args);
        QFETCH(QString, locale);
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        for (int i = 0; i < 3; ++i)
            locale.section('|', i, i).isEmpty() ? qunsetenv(names[i])
                                                : qputenv(names[i], locale.section('|', i, i).toUtf8());
        QByteArrayList bytes = ("vantor " + args).trimmed().toUtf8().split(' ');
        std::vector<char*> argv;
        for (QByteArray& arg : bytes)
            argv.push_back(arg.data());
        const int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        const bool english = CVantorApp::ChooseLanguage(argc, argv.data()) == CVantorApp::Language::English;
        const int status = CVantorApp::AnswerCommandLine(argc, argv.data()).value_or(-1);
        for (const char* name : names)
            qunsetenv(name);
        qputenv("LANG", "C.UTF-8");
        QTEST(english, "english");
        QTEST(status, "status");
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
