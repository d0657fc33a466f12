#include "SendPacer.h"

SendPacer::SendPacer(std::int64_t bytesPerTurn, QObject* parent)
    : QObject(parent), budget(bytesPerTurn) {
    turn.setSingleShot(true);
    turn.setInterval(0);
    connect(&turn, &QTimer::timeout, this, &SendPacer::nextTurn);
}

bool SendPacer::admit(QObject* sender, std::function<void()> resume) {
    if (spentThisTurn < budget)
        return true;
    wait(sender, std::move(resume));
    return false;
}

void SendPacer::wait(QObject* sender, std::function<void()> resume) {
    waiting.push_back({sender, std::move(resume)});
    if (!turn.isActive())
        turn.start();
}

// The budget is renewed when the loop comes round to this timer: the senders turned away
// first are resumed first, as far as the new budget goes.
void SendPacer::nextTurn() {
    spentThisTurn = 0;
    while (!waiting.empty() && spentThisTurn < budget) {
        const Waiting next = std::move(waiting.front());
        waiting.pop_front();
        if (next.sender)
            next.resume();
    }
    if (!waiting.empty())
        turn.start();
}
