#include "CVantorApp.h"

#include "CVantorDlg.h"

#include <memory>

CVantorApp::CVantorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Vantor"));
    setApplicationVersion(QStringLiteral(VANTOR_VERSION));
    setDesktopFileName(QStringLiteral("vantor"));
}

bool CVantorApp::InitInstance() {
    auto dlg = std::make_unique<CVantorDlg>(nullptr);
    dlg->exec();
    dlg.reset();
    return false;
}

QString CVantorApp::ProductName() {
    return QStringLiteral(VANTOR_PRODUCT_NAME);
}
