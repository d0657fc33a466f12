#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal for the window and fwupgrade-cli alike: the handler
// only writes the signal's number into a pipe, and the event loop reads it there, so no Qt
// work ever runs inside the handler. One instance at a time per process; the default
// handlers come back when it goes.
class SignalBridge : public QObject {
    Q_OBJECT
public:
    explicit SignalBridge(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalBridge() override;
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

    // Whether every handler is in place.
    bool installed() const { return handlersInstalled; }

signals:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* notifier = nullptr;
    QList<int> caught;
    bool handlersInstalled = false;
};
