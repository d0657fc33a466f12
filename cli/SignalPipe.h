#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns signals into Qt signals: the handler only writes the signal's number into a pipe,
// and the event loop reads it there, so no Qt work ever runs inside the handler.
// One instance per process.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalPipe() override;
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    bool ok() const { return notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* notifier = nullptr;
    QList<int> caught;
};
