#include "SignalBridge.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// [0] is read by the event loop, [1] written by the handler.
int pipeEnds[2] = {-1, -1};

extern "C" void onSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalBridge::SignalBridge(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent) {
    if (pipeEnds[0] != -1 || ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalBridge::drain);
    handlersInstalled = true;
    for (const int signalNumber : signalNumbers) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signalNumber, &action, nullptr) == 0)
            caught.append(signalNumber);
        else
            handlersInstalled = false;
    }
}

SignalBridge::~SignalBridge() {
    if (!notifier)
        return;
    for (const int signalNumber : caught)
        std::signal(signalNumber, SIG_DFL);
    delete notifier;
    for (int& end : pipeEnds) {
        ::close(end);
        end = -1;
    }
}

void SignalBridge::drain() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
    }
}
