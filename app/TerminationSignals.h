#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT end the program the way the operator does, by closing the main window,
// so that it still exits with code 0. The handler only writes the signal's number into a
// socket pair; the event loop reads it and emits `received`.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Whether both handlers are in place.
    bool installed() const { return handlersInstalled; }

signals:
    void received(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* notifier = nullptr;
    bool handlersInstalled = false;
};
