#pragma once

#include <QApplication>

// The application: runs the main window modally and ends when it closes.
class CVantorApp : public QApplication {
    Q_OBJECT

public:
    CVantorApp(int& argc, char** argv);

    // Runs the main window modally; returns false, as there is no message loop
    // after the main window.
    bool InitInstance();

    // "Vantor Live", as the version block and the desktop entry name it.
    static QString ProductName();
};
