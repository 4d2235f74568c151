#pragma once

#include <QApplication>

#include <optional>

// The application: runs the main window modally and ends when it closes.
class CVantorApp : public QApplication {
    Q_OBJECT

public:
    enum class Language { Chinese, English };

    // Shows the interface in the language ChooseLanguage picks.
    CVantorApp(int& argc, char** argv);

    // Answers --version and --help on standard output, and a --lang without
    // en or zh on standard error, and gives the exit status; nothing for any
    // other command line. Runs before the application object exists, so none
    // of them needs a display.
    static std::optional<int> AnswerCommandLine(int argc, char** argv);
    // Call first, before any thread starts. Each pane's threads (receive,
    // decode, draw, record, talk) would otherwise get malloc arenas of their
    // own, up to 16 here, each keeping the freed frames of the panes that ran
    // on it: resident memory then grows with every start and stop although
    // the memory in use does not. Two arenas keep it flat.
    static void LimitMemoryArenas();

    // Chinese, the texts the program is written in, unless "--lang en" is
    // given or, without --lang, the locale of messages (LC_ALL, LC_MESSAGES,
    // LANG: the first one set) is English ("en", "en_GB.UTF-8", ...). The C
    // and POSIX locales keep Chinese.
    static Language ChooseLanguage(int argc, char** argv);

    // Installs the English translation, or removes it for Chinese. False when
    // the translation cannot be loaded (the texts then stay Chinese).
    static bool UseLanguage(Language language);

    // Everything Vantor writes goes to the current directory. Tries to create
    // a file there (whatever the user's privileges, only a real write tells);
    // when that fails, says so in a message box naming the folder and returns
    // false.
    bool CheckWorkingDirectory();

    // Runs the main window modally; returns false, as there is no message loop
    // after the main window. A recording that could not be finalised when the
    // window closed is named on the standard error, and ExitStatus() is 1.
    bool InitInstance();
    int ExitStatus() const { return m_exitStatus; }

    // "Vantor Live", as the version block and the desktop entry name it.
    static QString ProductName();

private:
    int m_exitStatus = 0;
};
