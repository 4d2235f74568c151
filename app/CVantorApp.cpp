#include "app/CVantorApp.h"

#include "app/CVantorDlg.h"
#include "app/MessageBox.h"

#include <QDir>
#include <QTemporaryFile>
#include <QTranslator>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

const char* const HELP_TEXT = R"(Usage: vantor [--lang en|zh] [--version] [--help]
Live view of wearable cameras over a peer-to-peer link, talk-back and
recording; batch upload of the media on Android devices attached over USB.

Vantor writes everything (the device list LiveData.mdb, recordings, uploaded
media) into its current directory, and says so at start when it cannot.
The desktop menu entry starts it through vantor-launch, in ~/Vantor.

  --lang en   English interface
  --lang zh   Chinese interface (the default, unless the locale of messages,
              LC_ALL, LC_MESSAGES or LANG, is English)
  --version   print the version and exit
  --help      print this help and exit

Qt's own options (for example -platform offscreen) are accepted as well.
VANTOR_P2P_HOSTS and VANTOR_P2P_PORT set where cameras are searched for
(127.0.0.1 by default).
)";

// The value of "--lang X" (the last one given), or null without one.
const char* LangArgument(int argc, char** argv) {
    const char* lang = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--lang")
            lang = i + 1 < argc ? argv[++i] : "";
    }
    return lang;
}

} // namespace

void CVantorApp::LimitMemoryArenas() {
    mallopt(M_ARENA_MAX, 2);
}

CVantorApp::CVantorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Vantor"));
    setApplicationVersion(QStringLiteral(VANTOR_VERSION));
    setDesktopFileName(QStringLiteral("vantor"));
    UseLanguage(ChooseLanguage(argc, argv));
}

CVantorApp::Language CVantorApp::ChooseLanguage(int argc, char** argv) {
    std::string_view locale;
    if (const char* lang = LangArgument(argc, argv)) {
        locale = lang;
    } else {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                locale = value;
                break;
            }
        }
    }
    return locale.starts_with("en") ? Language::English : Language::Chinese;
}

bool CVantorApp::UseLanguage(Language language) {
    static QTranslator english;
    QCoreApplication::removeTranslator(&english);
    if (language == Language::Chinese)
        return true;
    if (english.isEmpty() && !english.load(QStringLiteral(":/i18n/vantor_en.qm")))
        return false;
    return QCoreApplication::installTranslator(&english);
}

std::optional<int> CVantorApp::AnswerCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            std::printf("%s %s\n", VANTOR_PRODUCT_NAME, VANTOR_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(HELP_TEXT, stdout);
            return 0;
        }
    }
    const char* lang = LangArgument(argc, argv);
    if (lang && std::string_view(lang) != "en" && std::string_view(lang) != "zh") {
        std::fprintf(stderr, "vantor: --lang takes en or zh, not \"%s\"\n", lang);
        return 2;
    }
    return std::nullopt;
}

bool CVantorApp::CheckWorkingDirectory() {
    const QString folder = QDir::currentPath();
    // The probe is removed again when it goes out of scope.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".vantor-write-test-XXXXXX")));
    if (probe.open())
        return true;
    const QString text = tr("无法在当前文件夹中写入文件：\n%1\n（%2）\n\n"
                            "Vantor 把设备列表、录像和上传的文件都保存在当前文件夹中。"
                            "请在可以写入的文件夹中启动 Vantor，或从应用程序菜单启动它（使用 ~/Vantor 文件夹）。");
    MessageBox::ShowError(nullptr, text.arg(QDir::toNativeSeparators(folder), probe.errorString()));
    return false;
}

bool CVantorApp::InitInstance() {
    auto dlg = std::make_unique<CVantorDlg>(nullptr);
    dlg->exec();
    // No window is left to show a recording that could not be finalised.
    for (const std::string& name : dlg->ShutdownPanes()) {
        const QString text = CVantorDlg::tr("录制失败") + QStringLiteral(": ") + QString::fromStdString(name);
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        m_exitStatus = 1;
    }
    dlg.reset();
    return false;
}

QString CVantorApp::ProductName() {
    return QStringLiteral(VANTOR_PRODUCT_NAME);
}
