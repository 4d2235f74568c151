#include "app/CVantorApp.h"

int main(int argc, char** argv) {
    CVantorApp::LimitMemoryArenas();
    if (const auto status = CVantorApp::AnswerCommandLine(argc, argv))
        return *status;
    CVantorApp app(argc, argv);
    if (!app.CheckWorkingDirectory())
        return 1;
    app.InitInstance();
    return app.ExitStatus();
}
