#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// The event loop turns meanwhile, as in the programs under test: it sleeps until an event
// comes (QTest's waits sleep 10 ms between passes, which would hide how soon a program reads).
void TurnEventLoop(int ms);
// Until `done` holds, at most `timeoutMs`; whether it holds.
bool TurnEventLoopUntil(const std::function<bool()>& done, int timeoutMs);

// Measures how long the event loop goes without turning: the largest gap between two ticks of
// a precise timer (1 ms unless told), from construction or the last restart().
class LoopProbe {
public:
    explicit LoopProbe(int intervalMs = 1);
    void restart();
    qint64 longestGapMs() const { return longestGap; }
    int ticks() const { return count; }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longestGap = 0;
    int count = 0;
};
