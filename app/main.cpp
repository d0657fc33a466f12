#include "StartUp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // Qt is given the program's name alone, so its own options (-style, -qwindowtitle, ...)
    // are not honoured; its environment variables still are.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    PrepareApplication(application);
    return RunWindowProgram();
}
