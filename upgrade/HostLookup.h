#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

// A host text turned into its dotted address on a thread of its own, so that a resolver that
// does not answer holds up no event loop. The answer comes back through the event loop of the
// thread that asked; once the lookup is destroyed, none comes.
class HostLookup : public QObject {
    Q_OBJECT
public:
    explicit HostLookup(QObject* parent = nullptr);
    ~HostLookup() override;
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // The dotted text LookupHostAddr gives, empty when the host is not found.
    void start(const QByteArray& host);

    // Whether looking `host` up may wait on a resolver (it is a name, not a dotted address).
    static bool MayWait(const QByteArray& host);

signals:
    void found(const QByteArray& dotted);

private:
    struct Asker;
    std::shared_ptr<Asker> asker;
};
