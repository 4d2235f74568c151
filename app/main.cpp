#include "CVantorApp.h"

int main(int argc, char** argv) {
    CVantorApp app(argc, argv);
    app.InitInstance();
    return 0;
}
