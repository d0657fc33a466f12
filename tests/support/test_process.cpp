#include "test_process.h"

#include "loop_probe.h"

#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern char** environ;

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// A pipe whose reading end this process keeps, without blocking.
bool openPipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    return true;
}

void readAvailable(int fd, QByteArray& bytes) {
    char chunk[65536];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, n);
}

} // namespace

TestProcess::~TestProcess() {
    if (running()) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    closeFd(outPipe);
    closeFd(errPipe);
}

bool TestProcess::start(const QString& program, const QByteArrayList& arguments, int stdoutFd,
                        const QStringList& environment, int stdinFd) {
    int outEnds[2] = {-1, -1};
    int errEnds[2] = {-1, -1};
    if ((stdoutFd < 0 && !openPipe(outEnds)) || !openPipe(errEnds))
        return false;
    const QByteArray path = QFile::encodeName(program);
    std::vector<char*> argv{const_cast<char*>(path.constData())};
    for (const QByteArray& argument : arguments)
        argv.push_back(const_cast<char*>(argument.constData()));
    argv.push_back(nullptr);
    QByteArrayList variables;
    for (const QString& variable : environment)
        variables << variable.toLocal8Bit();
    for (char** variable = environ; *variable; ++variable) {
        const QByteArray given(*variable);
        const QByteArray name = given.left(given.indexOf('=') + 1);
        if (std::none_of(variables.begin(), variables.end(),
                         [&](const QByteArray& given) { return given.startsWith(name); }))
            variables << *variable;
    }
    std::vector<char*> envp;
    for (QByteArray& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : outEnds[1],
                                     STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errEnds[1], STDERR_FILENO);
    // A terminal's program asks its questions there: a terminal of its own as its only one
    // (its own session), and none at all when the test gives none.
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const bool ownSession = stdinFd >= 0 && ::isatty(stdinFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                              (ownSession ? POSIX_SPAWN_SETSID : 0));
    if (posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
        child = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(outEnds[1]);
    closeFd(errEnds[1]);
    outPipe = outEnds[0];
    errPipe = errEnds[0];
    return child > 0;
}

bool TestProcess::running() {
    if (child <= 0 || status >= 0)
        return false;
    int raw = 0;
    if (::waitpid(child, &raw, WNOHANG) != child)
        return true;
    normalExit = WIFEXITED(raw);
    status = normalExit ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

int TestProcess::waitForExit(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (running() && clock.elapsed() < timeoutMs) {
        readPipes();
        TurnEventLoop(10);
    }
    if (running()) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        status = -1;
        child = -1;
    }
    readPipes();
    return status;
}

void TestProcess::readPipes() {
    readAvailable(outPipe, outBytes);
    readAvailable(errPipe, errBytes);
}

const QByteArray& TestProcess::out() {
    readPipes();
    return outBytes;
}

const QByteArray& TestProcess::err() {
    readPipes();
    return errBytes;
}

bool TestProcess::catches(int signalNumber) const {
    return ProcessCatches(child, signalNumber);
}

bool ProcessCatches(qint64 pid, int signalNumber) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask & (1ull << (signalNumber - 1))) != 0;
        }
    }
    return false;
}

ProgramRun RunProgram(const QString& program, const QStringList& arguments, int timeoutMs) {
    QByteArrayList bytes;
    for (const QString& argument : arguments)
        bytes << argument.toLocal8Bit();
    TestProcess process;
    ProgramRun run;
    if (!process.start(program, bytes))
        return run;
    run.exitCode = process.waitForExit(timeoutMs);
    run.out = QString::fromLocal8Bit(process.out());
    run.err = QString::fromLocal8Bit(process.err());
    return run;
}

double ProcessCpuMs(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The fields after the command name, which may hold spaces, start at its closing ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks * 1e3 / double(::sysconf(_SC_CLK_TCK));
}
