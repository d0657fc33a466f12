#include "HostLookup.h"

#include "TcpClientChannel.h"

#include <mutex>
#include <thread>

// The thread outlives a lookup destroyed meanwhile (getaddrinfo cannot be called off); it then
// finds no one to tell.
struct HostLookup::Asker {
    std::mutex mutex;
    HostLookup* lookup = nullptr;
};

HostLookup::HostLookup(QObject* parent) : QObject(parent), asker(std::make_shared<Asker>()) {
    asker->lookup = this;
}

HostLookup::~HostLookup() {
    const std::lock_guard lock(asker->mutex);
    asker->lookup = nullptr;
}

void HostLookup::start(const QByteArray& host) {
    std::thread([asker = asker, host] {
        const QByteArray dotted = TcpClientChannel::LookupHostAddr(host);
        const std::lock_guard lock(asker->mutex);
        if (HostLookup* lookup = asker->lookup)
            QMetaObject::invokeMethod(
                lookup, [lookup, dotted] { emit lookup->found(dotted); }, Qt::QueuedConnection);
    }).detach();
}

bool HostLookup::MayWait(const QByteArray& host) {
    return !host.isEmpty() && !(host[0] >= '0' && host[0] <= '9');
}
