#pragma once

#include <QApplication>

#include <optional>

// The application: runs the main window modally and ends when it closes.
class CVantorApp : public QApplication {
    Q_OBJECT

public:
    CVantorApp(int& argc, char** argv);

    // Answers --version and --help on standard output and gives the exit
    // status; nothing for any other command line. Runs before the application
    // object exists, so neither needs a display.
    static std::optional<int> AnswerCommandLine(int argc, char** argv);

    // Everything Vantor writes goes to the current directory. Tries to create
    // a file there (whatever the user's privileges, only a real write tells);
    // when that fails, says so in a message box naming the folder and returns
    // false.
    bool CheckWorkingDirectory();

    // Runs the main window modally; returns false, as there is no message loop
    // after the main window.
    bool InitInstance();

    // "Vantor Live", as the version block and the desktop entry name it.
    static QString ProductName();
};
