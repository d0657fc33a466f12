#include "StartUp.h"

#include "HandlerGuard.h"
#include "SignalBridge.h"
#include "TForm1.h"
#include "WindowLook.h"

#include <QApplication>

#include <csignal>
#include <memory>

void PrepareApplication(QApplication& application) {
    QApplication::setFont(WindowFont());
    application.setWindowIcon(ProgramIcon());
}

void CloseOnSignal(TForm1& window) {
    window.CloseWithoutAsking();
    // A modal box or dialog open at that moment runs an event loop of its own; all of them end.
    QCoreApplication::exit(0);
}

int RunWindowProgram() {
    std::unique_ptr<TForm1> window;
    const bool created = RunStartUpStep([&window] {
        window = std::make_unique<TForm1>();
        window->FormCreate();
        window->move(0, 0);
        window->show();
    });
    if (created)
        RunStartUpStep([&window] {
            // Installed once the window shows: a signal that comes earlier ends the process the
            // default way, before there is anything to close.
            SignalBridge terminationSignals({SIGTERM, SIGINT});
            QObject::connect(&terminationSignals, &SignalBridge::received, window.get(),
                             [&window] { CloseOnSignal(*window); });
            QApplication::exec();
        });
    return 0;
}
