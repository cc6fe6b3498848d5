// The broadcaster program: the teacher's window.
#include <QApplication>

#include "app/broadcaster_app.h"

int main(int argc, char** argv) {
    app::PrepareProcess();
    // The classroom view shares its drawing contexts with the window.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    app::CBroadcasterApp program;
    return program.InitInstance(argc > 1 ? argv[1] : nullptr);
}
