#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>

// Shares the event loop's turns among many sessions sending at once. With a fleet every
// socket is writable in the same turn, and one send each to a thousand encoders held the loop
// (and its timers, and a signal's handling) for 50 to 100 ms. Past `bytesPerTurn` in one turn,
// a sender waits in a queue and is resumed, in the order it came, on a later turn; a sender
// that has gone is skipped.
class SendPacer : public QObject {
    Q_OBJECT
public:
    explicit SendPacer(std::int64_t bytesPerTurn, QObject* parent = nullptr);

    // True when `sender` may send now; otherwise `resume` is called on a later turn, and the
    // sender does not ask again before that.
    bool admit(QObject* sender, std::function<void()> resume);
    // `resume` is called on a later turn, after the senders already waiting.
    void wait(QObject* sender, std::function<void()> resume);
    void spent(std::int64_t bytes) { spentThisTurn += bytes; }

    std::size_t waitingCount() const { return waiting.size(); }

private:
    struct Waiting {
        QPointer<QObject> sender;
        std::function<void()> resume;
    };
    void nextTurn();

    const std::int64_t budget;
    std::int64_t spentThisTurn = 0;
    std::deque<Waiting> waiting;
    QTimer turn;
};
