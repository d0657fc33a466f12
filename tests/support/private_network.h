#pragma once

// Real network faults on 127.0.0.1, inside a network namespace the test program makes for
// itself: nftables drops packets, tbf slows the link. Nothing it does reaches beyond the
// namespace, and nothing outside it sees the rules. The test programs of the `network` label
// start with FW_PRIVATE_NETWORK_TEST_MAIN; every test in them begins with
// SKIP_WITHOUT_PRIVATE_NETWORK().

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QTest>

#include <cstdint>

// Moves this process into a network namespace and a mount namespace of its own (inside a user
// namespace of its own when not run as root), before anything starts a thread: threads keep the
// namespace they started in, and every process started afterwards, encoder-sim too, inherits it.
void EnterPrivateNetwork();

// Empty once the namespace stands with lo up at an Ethernet-sized MTU (1500) and nft and tc
// at hand; otherwise why it does not. Prepares it on the first call.
QString PrivateNetworkProblem();

// Skipped with the reason printed (ctest shows the program as skipped, not passed).
#define SKIP_WITHOUT_PRIVATE_NETWORK()                                                             \
    do {                                                                                           \
        const QString problem = PrivateNetworkProblem();                                           \
        if (!problem.isEmpty())                                                                    \
            QSKIP(qPrintable(QStringLiteral("no private network: ") + problem));                   \
    } while (false)

// Runs ip, nft or tc; false with the tool's words in `output` when it fails.
bool RunNetworkTool(const QStringList& command, QString* output = nullptr);

// While it stands, this process's name lookups (this machine's own name too: the hosts file
// holds only localhost) ask a nameserver on 127.0.0.53 that takes every query and never
// answers (for 30 s a query): a resolver that hangs. It lives in the process's own mount
// namespace; the real files are back on destruction.
class DeadResolver {
public:
    DeadResolver() = default;
    DeadResolver(const DeadResolver&) = delete;
    DeadResolver& operator=(const DeadResolver&) = delete;
    ~DeadResolver();
    // Empty once it stands, otherwise why not.
    QString start();

private:
    QTemporaryFile conf;
    QTemporaryFile hosts;
    int socketFd = -1;
    QList<const char*> mounted;
};

// Rules of one test, all removed again by clear() or on destruction.
class NetworkFaults {
public:
    NetworkFaults();
    NetworkFaults(const NetworkFaults&) = delete;
    NetworkFaults& operator=(const NetworkFaults&) = delete;
    ~NetworkFaults() { clear(); }

    // Every TCP packet to and from the port is dropped as it arrives, both ways: the encoder
    // has vanished (its power cut, its cable pulled) without a word.
    bool vanish(std::uint16_t port);
    // The first `count` packets that carry bytes to the port are dropped as they arrive (the
    // connection's SYN and bare acknowledgements pass): lost on the way, so that TCP
    // retransmits them.
    bool loseFirstSegments(std::uint16_t port, int count);
    // Packets the rules have dropped so far; -1 when nft does not say.
    int dropped();
    // A rule of the test's own, as nft writes it ("tcp dport 9999 reject").
    bool add(const QString& rule);
    // Everything on lo goes at most `kbitPerSecond`, queued and dropped as a slow link does.
    bool slowLink(int kbitPerSecond);
    // TCP to 127.0.0.1 waits at least `ms` before retransmitting (200 on loopback), as over a
    // network whose round trip varies: how the retransmissions back off through an outage.
    bool retransmitNoSooner(int ms);
    void clear();

    const QString& error() const { return lastError; }

private:
    bool ensureTable();

    QString table;
    bool tableMade = false;
    bool linkSlowed = false;
    bool retransmissionSlowed = false;
    QString lastError;
};

#define FW_PRIVATE_NETWORK_TEST_MAIN(TestObject, Application)                                      \
    int main(int argc, char** argv) {                                                              \
        EnterPrivateNetwork();                                                                     \
        Application application(argc, argv);                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
