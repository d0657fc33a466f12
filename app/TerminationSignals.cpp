#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] read by the event loop.
int signalSockets[2] = {-1, -1};
constexpr int HandledSignals[] = {SIGTERM, SIGINT};

extern "C" void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full socket already holds a pending close; losing this byte changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
    errno = savedErrno;
}

void RestoreDefaultHandlers() {
    for (const int signalNumber : HandledSignals)
        std::signal(signalNumber, SIG_DFL);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (signalSockets[0] != -1 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        return;
    notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    handlersInstalled = true;
    for (const int signalNumber : HandledSignals)
        handlersInstalled = ::sigaction(signalNumber, &action, nullptr) == 0 && handlersInstalled;
}

TerminationSignals::~TerminationSignals() {
    if (!notifier)
        return;
    RestoreDefaultHandlers();
    delete notifier;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void TerminationSignals::readSignal() {
    unsigned char byte = 0;
    while (::read(signalSockets[1], &byte, 1) == 1)
        emit received(byte);
}
