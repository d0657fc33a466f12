#include "private_network.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// A header segment with TCP timestamps is 64 bytes; the SYN (60) and bare acknowledgements
// (52) are not longer than this.
constexpr int LongestBareSegment = 60;
// The route to 127.0.0.1 as the kernel makes it, replaced with metrics of a test's own.
const QStringList LocalRoute{"ip",     "route", "replace", "local", "127.0.0.1",
                             "dev",    "lo",    "table",   "local", "proto",
                             "kernel", "scope", "host",    "src",   "127.0.0.1"};

QString& enterProblem() {
    static QString problem = QStringLiteral("EnterPrivateNetwork() was not called");
    return problem;
}

// Mounts made in a mount namespace of this process's own are seen by no one else.
bool& ownMounts() {
    static bool own = false;
    return own;
}

QString systemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeFile(const char* path, const QByteArray& text) {
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Without root, a user namespace of its own makes this process root over its network
// namespace, which is all ip, nft and tc need there.
QString enterAsUser() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0)
        return systemError("unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS)");
    ownMounts() = true;
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
        return QStringLiteral("the user namespace's id maps could not be written");
    return {};
}

QString prepareLoopback() {
    QString output;
    if (!RunNetworkTool({"ip", "link", "set", "lo", "up"}, &output) ||
        !RunNetworkTool({"ip", "link", "set", "lo", "mtu", "1500"}, &output))
        return QStringLiteral("lo: %1").arg(output);
    if (!RunNetworkTool({"nft", "list", "ruleset"}, &output))
        return QStringLiteral("nft: %1 (scripts/setup.sh installs nftables)").arg(output);
    if (!RunNetworkTool({"tc", "qdisc", "show", "dev", "lo"}, &output))
        return QStringLiteral("tc: %1 (scripts/setup.sh installs iproute2)").arg(output);
    return {};
}

} // namespace

void EnterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0) {
        enterProblem().clear();
        ownMounts() = true;
    } else if (::unshare(CLONE_NEWNET) == 0)
        enterProblem().clear();
    else if (errno == EPERM && ::geteuid() != 0)
        enterProblem() = enterAsUser();
    else
        enterProblem() = systemError("unshare(CLONE_NEWNET)");
}

QString PrivateNetworkProblem() {
    static const QString problem = enterProblem().isEmpty() ? prepareLoopback() : enterProblem();
    return problem;
}

bool RunNetworkTool(const QStringList& command, QString* output) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(command.first(), command.mid(1));
    const bool ran = tool.waitForStarted(5000) && tool.waitForFinished(10000);
    const QString words =
        ran ? QString::fromLocal8Bit(tool.readAll()).trimmed()
            : QStringLiteral("%1 did not run: %2").arg(command.first(), tool.errorString());
    if (output)
        *output = words;
    return ran && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// Each its own table, so that the rules of several at once are cleared apart.
NetworkFaults::NetworkFaults() {
    static int made = 0;
    table = QStringLiteral("fwtest%1").arg(++made);
}

bool NetworkFaults::ensureTable() {
    if (tableMade)
        return true;
    tableMade = RunNetworkTool({"nft", "add", "table", "inet", table}, &lastError) &&
                RunNetworkTool({"nft", "add", "chain", "inet", table, "input",
                                "{ type filter hook input priority 0; policy accept; }"},
                               &lastError);
    return tableMade;
}

bool NetworkFaults::add(const QString& rule) {
    return ensureTable() &&
           RunNetworkTool(QStringList{"nft", "add", "rule", "inet", table, "input"} +
                              rule.split(QLatin1Char(' ')),
                          &lastError);
}

bool NetworkFaults::vanish(std::uint16_t port) {
    return add(QStringLiteral("tcp dport %1 counter drop").arg(port)) &&
           add(QStringLiteral("tcp sport %1 counter drop").arg(port));
}

// The quota lets a packet through once the bytes counted reach it, the last one included.
bool NetworkFaults::loseFirstSegments(std::uint16_t port, int count) {
    constexpr int HeaderSegment = LongestBareSegment + 4;
    return add(QStringLiteral("tcp dport %1 ip length > %2 quota until %3 bytes counter drop")
                   .arg(port)
                   .arg(LongestBareSegment)
                   .arg(count * HeaderSegment + 1));
}

int NetworkFaults::dropped() {
    QString listing;
    if (!tableMade || !RunNetworkTool({"nft", "list", "table", "inet", table}, &listing))
        return -1;
    static const QRegularExpression counter(QStringLiteral("counter packets (\\d+)"));
    int packets = 0;
    for (auto match = counter.globalMatch(listing); match.hasNext();)
        packets += match.next().captured(1).toInt();
    return packets;
}

bool NetworkFaults::slowLink(int kbitPerSecond) {
    linkSlowed = RunNetworkTool({"tc", "qdisc", "replace", "dev", "lo", "root", "tbf", "rate",
                                 QStringLiteral("%1kbit").arg(kbitPerSecond), "burst", "4kb",
                                 "latency", "100ms"},
                                &lastError);
    return linkSlowed;
}

bool NetworkFaults::retransmitNoSooner(int ms) {
    const QStringList floor{"rto_min", QStringLiteral("%1ms").arg(ms)};
    retransmissionSlowed = RunNetworkTool(LocalRoute + floor, &lastError);
    return retransmissionSlowed;
}

void NetworkFaults::clear() {
    if (retransmissionSlowed)
        RunNetworkTool(LocalRoute);
    retransmissionSlowed = false;
    if (tableMade)
        RunNetworkTool({"nft", "delete", "table", "inet", table});
    if (linkSlowed)
        RunNetworkTool({"tc", "qdisc", "del", "dev", "lo", "root"});
    tableMade = false;
    linkSlowed = false;
}

QString DeadResolver::start() {
    if (!ownMounts())
        return QStringLiteral("no mount namespace of this process's own");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return systemError("mount --make-rprivate /");
    socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(0x7f000035); // 127.0.0.53
    if (socketFd < 0 || ::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address))
        return systemError("bind 127.0.0.53:53");
    if (!conf.open() || conf.write("nameserver 127.0.0.53\noptions timeout:30 attempts:1\n") < 0 ||
        !conf.flush())
        return QStringLiteral("resolv.conf: %1").arg(conf.errorString());
    // Only localhost is in the hosts file: this machine's own name is asked of the nameserver.
    if (!hosts.open() || hosts.write("127.0.0.1 localhost\n") < 0 || !hosts.flush())
        return QStringLiteral("hosts: %1").arg(hosts.errorString());
    for (const auto& [file, over] :
         {std::pair{&conf, "/etc/resolv.conf"}, {&hosts, "/etc/hosts"}}) {
        if (::mount(QFile::encodeName(file->fileName()).constData(), over, nullptr, MS_BIND,
                    nullptr) != 0)
            return systemError("mount --bind over /etc/resolv.conf or /etc/hosts");
        mounted << over;
    }
    return {};
}

DeadResolver::~DeadResolver() {
    for (const char* over : mounted)
        ::umount2(over, MNT_DETACH);
    if (socketFd >= 0)
        ::close(socketFd);
}
