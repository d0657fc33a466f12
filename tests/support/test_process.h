#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// A program run from a test as a shell would start it: raw argument bytes (which need not be
// valid text), this process's environment plus `environment`, SIGPIPE at its default, standard
// output to a descriptor of the test's or, like standard error, read here. The event loop
// turns while it is waited for; a child still running at the end is killed.
class TestProcess {
public:
    TestProcess() = default;
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;
    ~TestProcess();

    // Standard input is `stdinFd` when given (a terminal's: then in a session of its own, that
    // terminal not its controlling one), otherwise /dev/null.
    bool start(const QString& program, const QByteArrayList& arguments, int stdoutFd = -1,
               const QStringList& environment = {}, int stdinFd = -1);
    pid_t pid() const { return child; }
    bool running();
    // The exit status (128 + the signal's number when one ended it); -1 when it did not end
    // within `timeoutMs` (it is killed then).
    int waitForExit(int timeoutMs);
    // It ended by exit(), not by a signal.
    bool exitedNormally() const { return normalExit; }
    // All it has written so far to the streams read here.
    const QByteArray& out();
    const QByteArray& err();
    // Whether it has a handler of its own for the signal.
    bool catches(int signalNumber) const;

private:
    void readPipes();

    pid_t child = -1;
    int status = -1;
    bool normalExit = false;
    int outPipe = -1;
    int errPipe = -1;
    QByteArray outBytes;
    QByteArray errBytes;
};

// Whether a process has a handler of its own for the signal (the caught-signals mask of
// /proc/PID/status).
bool ProcessCatches(qint64 pid, int signalNumber);

// The processor time (user and system) a process has used so far, in ms; -1 if unknown.
double ProcessCpuMs(qint64 pid);

struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
};
// Runs a program to its end; exitCode -1 when it did not end within `timeoutMs`.
ProgramRun RunProgram(const QString& program, const QStringList& arguments, int timeoutMs = 30000);
