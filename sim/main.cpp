// encoder-sim: a stand-in encoder that plays the device's side of a firmware upgrade.

#include "EncoderSession.h"
#include "SimOptions.h"
#include "SimSocket.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void printLine(std::FILE* stream, const QByteArray& line) {
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void printText(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int badSetting(const QString& message) {
    printText(stderr, QStringLiteral("encoder-sim: %1\n").arg(message));
    return 2;
}

// One JSON line per connection; with --once the file holds only that connection's.
class ReportWriter {
public:
    explicit ReportWriter(const SimOptions& options) : options_(options) {}

    bool prepare(QString& error) {
        if (options_.reportFile.isEmpty())
            return true;
        QFile file(options_.reportFile);
        const QIODevice::OpenMode mode =
            QIODevice::WriteOnly | (options_.once ? QIODevice::Truncate : QIODevice::Append);
        if (file.open(mode))
            return true;
        error = QStringLiteral("cannot write the report file %1: %2")
                    .arg(options_.reportFile, file.errorString());
        return false;
    }

    void publish(const SessionReport& report) const {
        const std::lock_guard lock(mutex_); // sessions may end on several threads at once
        const QByteArray line = QJsonDocument(report.toJson()).toJson(QJsonDocument::Compact);
        if (options_.reportLine)
            printLine(stdout, line);
        if (options_.reportFile.isEmpty())
            return;
        QFile file(options_.reportFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(line + '\n');
        else
            printText(stderr, QStringLiteral("encoder-sim: cannot write the report file %1\n")
                                  .arg(options_.reportFile));
    }

private:
    const SimOptions& options_;
    mutable std::mutex mutex_;
};

// The port stays bound but never listens, so every connect to it is refused by the system.
[[noreturn]] void refuseUntilStopped(int socket) {
    printLine(stdout, "refusing on " + localAddressText(socket).toLatin1());
    for (;;)
        pause();
}

int serveConnections(int listener, const SimOptions& options, const ReportWriter& reports) {
    printLine(stdout, "listening on " + localAddressText(listener).toLatin1());
    for (;;) {
        const int connection = acceptConnection(listener, options.idleTimeoutMs);
        if (connection < 0)
            return badSetting(QStringLiteral("accept failed"));
        EncoderSession session(connection, options);
        const SessionReport report = session.run();
        reports.publish(report);
        if (options.once)
            return report.complete ? 0 : 1;
    }
}

bool outOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Out of descriptors, the waiting connections stay waiting and poll() returns at once, again
// and again: accepting pauses instead, while the connections being served end and give theirs
// back. Said once per shortage.
void waitForDescriptors(bool& said) {
    constexpr auto Pause = std::chrono::milliseconds(100);
    if (!said)
        printText(stderr, QStringLiteral("encoder-sim: out of file descriptors (%1); accepting "
                                         "again as connections end\n")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
    said = true;
    std::this_thread::sleep_for(Pause);
}

// One connection served by a thread of its own. A thread that cannot be made (the system is
// short of threads or memory) costs that connection only: it is closed, and the fleet goes on.
void serveInThread(int connection, const SimOptions& options, const ReportWriter& reports) {
    struct Job {
        int connection;
        const SimOptions& options;
        const ReportWriter& reports;
    };
    auto* job = new Job{connection, options, reports};
    const auto run = [](void* started) -> void* {
        const std::unique_ptr<Job> job(static_cast<Job*>(started));
        EncoderSession session(job->connection, job->options);
        job->reports.publish(session.run());
        return nullptr;
    };
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, run, job) != 0) {
        delete job;
        ::close(connection);
        return;
    }
    ::pthread_detach(thread);
}

// A fleet from one process: every listener accepted from, every connection served at once.
[[noreturn]] void serveFleet(const std::vector<int>& listeners, const SimOptions& options,
                             const ReportWriter& reports) {
    std::vector<pollfd> waiting;
    for (const int listener : listeners) {
        ::listen(listener, SOMAXCONN); // a fleet connects all at once
        printLine(stdout, "listening on " + localAddressText(listener).toLatin1());
        waiting.push_back({listener, POLLIN, 0});
    }
    bool saidShort = false;
    for (;;) {
        if (::poll(waiting.data(), waiting.size(), -1) <= 0)
            continue;
        for (pollfd& listener : waiting) {
            if (!(listener.revents & POLLIN))
                continue;
            const int connection = acceptConnection(listener.fd, options.idleTimeoutMs);
            if (connection < 0 && outOfDescriptors(errno)) {
                waitForDescriptors(saidShort);
                break;
            }
            if (connection < 0)
                continue;
            saidShort = false;
            serveInThread(connection, options, reports);
        }
    }
}

std::vector<int> openListeners(const SimOptions& options, QString& error) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> listeners;
    for (int i = 0; i < options.listeners; ++i) {
        const int port = options.port == 0 ? 0 : options.port + i;
        const int socket = openServerSocket(options.address, port, true, error);
        if (socket < 0)
            break;
        listeners.push_back(socket);
    }
    return listeners;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("encoder-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FWUPGRADE_VERSION));
    // A client that vanishes mid-send must end its connection, not the simulator.
    std::signal(SIGPIPE, SIG_IGN);

    const ParsedOptions parsed = parseSimOptions(QCoreApplication::arguments());
    if (!parsed.options) {
        printText(parsed.exitCode == 0 ? stdout : stderr, parsed.message);
        return parsed.exitCode;
    }
    const SimOptions& options = *parsed.options;

    ReportWriter reports(options);
    QString error;
    if (!reports.prepare(error))
        return badSetting(error);
    if (options.listeners > 1) {
        const std::vector<int> listeners = openListeners(options, error);
        if (int(listeners.size()) < options.listeners)
            return badSetting(error);
        serveFleet(listeners, options, reports);
    }
    const int socket = openServerSocket(options.address, options.port, !options.refuse, error);
    if (socket < 0)
        return badSetting(error);
    if (options.readRate) {
        // Accepted connections inherit it: the client's sends then wait for the slow reads.
        const int small = 8192;
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    if (options.refuse)
        refuseUntilStopped(socket);
    return serveConnections(socket, options, reports);
}
