// fwupgrade-cli run as a program against encoder-sim instances on loopback.

#include "FirmwareImage.h"
#include "UpgradeHeader.h"
#include "channel_listener.h"
#include "sim_test_client.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QString CliPath = QStringLiteral(FWUPGRADE_CLI);

// One encoder-sim on 127.0.0.1 and a free port, killed when the test is done with it.
class Sim : public SimProcess {
public:
    explicit Sim(const QStringList& arguments)
        : started(start(QStringList{"--report-line"} + arguments)) {}
    bool ready() const { return started; }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }
    // The report of the next connection; empty if none came in time.
    QJsonObject report(int timeoutMs = 10000) { return nextReport(timeoutMs); }

private:
    bool started;
};

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the CLI to its end, keeping this thread's event loop going meanwhile (tests serve
// connections from it).
CliRun runCli(const QStringList& arguments, int timeoutMs = 30000) {
    QProcess process;
    process.start(CliPath, arguments);
    CliRun run;
    if (!process.waitForStarted(5000))
        return run;
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// The lines of the plain output that belong to one encoder, without its name.
QStringList hostLines(const QString& out, const QString& host) {
    QStringList lines;
    const QString prefix = host + QStringLiteral(": ");
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            lines << line.mid(prefix.size());
    }
    return lines;
}

// Whether `expected` occur in `lines` in this order (other lines between them allowed).
bool inOrder(const QStringList& lines, const QStringList& expected) {
    qsizetype at = 0;
    for (const QString& line : lines) {
        if (at < expected.size() && line == expected[at])
            ++at;
    }
    return at == expected.size();
}

QList<QJsonObject> jsonEvents(const QString& out, bool* allParsed) {
    QList<QJsonObject> events;
    *allParsed = true;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            *allParsed = false;
        else
            events << document.object();
    }
    return events;
}

// Starts the CLI with raw argument bytes (which need not be valid text) and its standard
// output on `stdoutFd`; returns the child's pid.
pid_t spawnRaw(const QByteArrayList& arguments, int stdoutFd) {
    const QByteArray program = CliPath.toLocal8Bit();
    std::vector<char*> argv{const_cast<char*>(program.constData())};
    for (const QByteArray& argument : arguments)
        argv.push_back(const_cast<char*>(argument.constData()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    // As from a shell: SIGPIPE at its default, whatever this test program does with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// The child's exit status within ms, keeping the event loop going; -1 if it did not end.
int waitForExit(pid_t pid, int ms) {
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    while (clock.elapsed() < ms) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        QTest::qWait(10);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

QByteArray readAll(int fd) {
    QByteArray bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, n);
    return bytes;
}

QByteArray randomImage(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

std::uint32_t checksumOf(const QByteArray& image) {
    return ImageChecksum(reinterpret_cast<const std::uint8_t*>(image.constData()),
                         std::size_t(image.size()));
}

// The bytes the window puts on the wire: the 12-byte header, then the whole image.
QByteArray windowBytes(const QByteArray& image) {
    const auto header = UpgradeHeader(std::int32_t(image.size()), checksumOf(image));
    return QByteArray(reinterpret_cast<const char*>(header.data()), UpgradeHeaderSize) + image;
}

const QStringList OkSim{"--once", "--gap-ms", "0"};

// A normal upgrade as this encoder's lines show it, from the header to the success notice.
const QStringList SuccessStory{"send data header",
                               "send program",
                               "encoder: start receiving image file",
                               "Sending image file ... in progress",
                               "Sending image file ... done",
                               "encoder: erase flash program...",
                               "Erasing flash ... in progress",
                               "!!! DO NOT SWITCH POWER OFF !!!",
                               "Erasing flash ... done",
                               "encoder: flash program...",
                               "Programming flash ... in progress",
                               "Programming flash ... done",
                               "encoder: verify flash program...done",
                               "FLASH PROGRAMMED SUCCESSFULLY...NOW REBOOT THE ENCODER",
                               "!!! UPGRADE FLASH ABORT !!!",
                               "upgrade succeeded"};

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString image; // 100,000 bytes
    QByteArray imageBytes;

    static QJsonObject readJson(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }
    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(CliPath), qPrintable(CliPath));
        QVERIFY2(!qEnvironmentVariable("ENCODER_SIM").isEmpty(), "ENCODER_SIM is not set");
        QVERIFY(dir.isValid());
        imageBytes = randomImage(100'000, 7);
        image = writeFile("image.bin", imageBytes);
        QVERIFY(!image.isEmpty());
    }

    void help() {
        const CliRun run = runCli({"--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.startsWith("Usage: fwupgrade-cli [options] IMAGE [HOST[:PORT]...]"));
        for (const char* text : {"--json", "--plain", "--silence SECONDS", "default 999",
                                 "FILE TOO LONG", "Exit status", "SIGINT", "summary"})
            QVERIFY2(run.out.contains(QLatin1String(text)), text);
        QVERIFY(run.err.isEmpty());
    }

    // Every bad command line ends with status 2, a message naming the fault, and no
    // connection to any encoder, not even to the good ones named with it.
    void badCommandLine_data() {
        QTest::addColumn<QStringList>("arguments"); // %I: a good image, %H: a listening host
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option")
            << QStringList{"--bogus", "%I", "%H"} << "Unknown option 'bogus'";
        QTest::newRow("nothing") << QStringList{} << "the IMAGE and at least one HOST are missing";
        QTest::newRow("no host") << QStringList{"%I"}
                                 << "at least one HOST (or --hosts-file) is missing";
        QTest::newRow("port too high")
            << QStringList{"%I", "%H", "127.0.0.1:70000"}
            << "port out of range in '127.0.0.1:70000': give a port from 1 to 65535";
        QTest::newRow("port 0") << QStringList{"%I", "127.0.0.1:0"} << "port out of range";
        QTest::newRow("port many digits")
            << QStringList{"%I", "127.0.0.1:000000000000065536"} << "port out of range";
        QTest::newRow("port no number")
            << QStringList{"%I", "127.0.0.1:abc"} << "''abc'' is not a valid integer value";
        QTest::newRow("port missing")
            << QStringList{"%I", "127.0.0.1:"} << "the port after ':' is missing";
        QTest::newRow("host missing") << QStringList{"%I", ":999"} << "the host is missing";
        QTest::newRow("IPv6") << QStringList{"%I", "::1"} << "IPv6 is not supported";
        QTest::newRow("digit name") << QStringList{"%I", "%H", "1nosuchhost"}
                                    << "host '1nosuchhost' does not resolve to an IPv4 address";
        QTest::newRow("bad octet")
            << QStringList{"%I", "127.0.0.256:999"} << "host '127.0.0.256' does not resolve";
        QTest::newRow("named twice") << QStringList{"%I", "%H", "%H"} << "is named twice";
        // One encoder under two spellings is still one encoder.
        QTest::newRow("one encoder, two spellings")
            << QStringList{"%I", "127.0.0.1:%P", "localhost:%P"}
            << "encoder 'localhost:%P' is named twice: '127.0.0.1:%P' and 'localhost:%P' are "
               "both 127.0.0.1:%P";
        // Only four plain decimal numbers are an address: inet_addr's other forms would reach
        // another encoder than the one the operator meant.
        QTest::newRow("short form")
            << QStringList{"%I", "127.1:%P"} << "host '127.1' does not resolve";
        QTest::newRow("decimal address")
            << QStringList{"%I", "2130706433:%P"} << "host '2130706433' does not resolve";
        QTest::newRow("octal octet")
            << QStringList{"%I", "127.0.0.010:%P"} << "host '127.0.0.010' does not resolve";
        QTest::newRow("host 0") << QStringList{"%I", "0:%P"} << "does not resolve";
        QTest::newRow("host 0.0.0.0") << QStringList{"%I", "0.0.0.0:%P"} << "does not resolve";
        QTest::newRow("a path for a host") << QStringList{"%I", "/tmp/x"} << "bad encoder address";
        QTest::newRow("hosts file missing")
            << QStringList{"--hosts-file", "/nonexistent/hosts", "%I"}
            << "cannot read the hosts file '/nonexistent/hosts'";
        QTest::newRow("max-parallel 0")
            << QStringList{"--max-parallel", "0", "%I", "%H"} << "bad --max-parallel '0'";
        QTest::newRow("retries word")
            << QStringList{"--retries", "many", "%I", "%H"} << "bad --retries 'many'";
        QTest::newRow("timeout twice")
            << QStringList{"--timeout", "1", "--timeout", "2", "%I", "%H"}
            << "--timeout is given more than once";
        QTest::newRow("json error") << QStringList{"--json", "%I", "0:%P"} << "does not resolve";
        QTest::newRow("hosts file bad line") << QStringList{"--hosts-file", "%F", "%I"}
                                             << "%F, line 4: bad encoder address 'bad host!'";
        QTest::newRow("silence 0")
            << QStringList{"--silence", "0", "%I", "%H"} << "bad --silence '0'";
        QTest::newRow("silence word")
            << QStringList{"--silence", "soon", "%I", "%H"} << "bad --silence 'soon'";
        QTest::newRow("silence no value")
            << QStringList{"%I", "%H", "--silence"} << "Missing value after '--silence'";
        QTest::newRow("json and plain") << QStringList{"--json", "--plain", "%I", "%H"}
                                        << "--json and --plain exclude each other";
    }
    void badCommandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        const QString hostsWithABadLine =
            writeFile("bad-hosts.txt", "127.0.0.1:1 # first\n\n# comment\n  bad host!\n");
        for (QString& argument : arguments) {
            argument.replace("%I", image);
            argument.replace("%H", QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort()));
            argument.replace("%P", QString::number(encoder.serverPort()));
            argument.replace("%F", hostsWithABadLine);
        }
        message.replace("%P", QString::number(encoder.serverPort()));
        message.replace("%F", hostsWithABadLine);
        const CliRun run = runCli(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.err.startsWith("fwupgrade-cli: "));
        QVERIFY(run.err.contains("--help"));
        if (arguments.contains("--json")) {
            // Scripts reading JSON get the error as one object too.
            const QJsonObject error = QJsonDocument::fromJson(run.out.toUtf8()).object();
            QCOMPARE(error["event"].toString(), "error");
            QCOMPARE(error["schema"].toInt(), 1);
            QCOMPARE(error["exitCode"].toInt(), 2);
            QVERIFY(error["message"].toString().contains(message));
            QVERIFY(run.out.endsWith('\n') && run.out.count('\n') == 1);
        } else {
            QCOMPARE(run.out, QString());
        }
        QVERIFY(!encoder.waitForNewConnection(100));
    }

    void badImage_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // -1: none, -2: a folder
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << "missing.bin" << qint64(-1)
                                 << "cannot read the image '%1': no such file";
        QTest::newRow("folder") << "folder.bin" << qint64(-2)
                                << "cannot read the image '%1': it is a directory";
        QTest::newRow("one byte too long") << "long.bin" << qint64(MaxImageSize + 1)
                                           << "'%1': FILE TOO LONG (more than 3997696 bytes)";
        QTest::newRow("past the buffer")
            << "huge.bin" << qint64(ImageBufferSize + 4096) << "'%1': FILE TOO LONG";
        QTest::newRow("empty") << "empty.bin" << qint64(0)
                               << "the image '%1' is empty: the encoder would erase its flash";
    }
    void badImage() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, message);
        const QString path = dir.filePath(name);
        if (size == -2) {
            QVERIFY(QDir().mkpath(path));
        } else if (size >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        // The image is checked before any host: the host that does not resolve (a dotted
        // text that is no address, never looked up) is not what the error is about.
        const CliRun run =
            runCli({path, QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort()), "999.1.1.1"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message.arg(path)), qPrintable(run.err));
        QCOMPARE(run.out, QString());
        QVERIFY(!encoder.waitForNewConnection(100));
    }

    // The image summary as the window shows it, then every encoder through to success.
    void allSucceed() {
        Sim a(OkSim), b(OkSim + QStringList{"--receive-step", "0x4000"}), c(OkSim);
        QVERIFY(a.ready() && b.ready() && c.ready());
        const CliRun run = runCli({image, a.host(), b.host(), c.host()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.startsWith(QStringLiteral("Selected file : %1\n").arg(image)));
        QVERIFY(run.out.contains("\nFile size (byte) ............ 100000 " +
                                 FillPercentageText(100'000) + "\n"));
        QVERIFY(run.out.contains("\nFile checksum.............. " +
                                 ChecksumText(checksumOf(imageBytes)) + "\n"));
        for (Sim* sim : {&a, &b, &c}) {
            const QStringList lines = hostLines(run.out, sim->host());
            QVERIFY2(inOrder(lines, SuccessStory), qPrintable(lines.join('\n')));
            QCOMPARE(lines.count("upgrade succeeded"), 1);
            const QJsonObject report = sim->report();
            QCOMPARE(report["complete"].toBool(), true);
            QCOMPARE(report["checksumValid"].toBool(), true);
        }
        QVERIFY(run.out.endsWith("3 of 3 encoders upgraded, 0 failed\n"));
        QVERIFY(!run.out.contains("FAILED"));
        QVERIFY(run.err.isEmpty());
    }

    // Each failure is told with its own host and reason; the good encoder is not held up.
    void mixedBatch() {
        Sim ok(OkSim);
        Sim fail(OkSim + QStringList{"--fail-at", "erase"});
        Sim error(OkSim + QStringList{"--error-at", "program", "--error-text", "flash chip gone"});
        Sim close(OkSim + QStringList{"--close-at", "erase"});
        QVERIFY(ok.ready() && fail.ready() && error.ready() && close.ready());
        const CliRun run = runCli({image, ok.host(), fail.host(), error.host(), close.host()});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(inOrder(hostLines(run.out, ok.host()), SuccessStory));
        QVERIFY(inOrder(hostLines(run.out, fail.host()),
                        {"!!! DO NOT SWITCH POWER OFF !!!", "!!! UPGRADE FLASH ABORT !!!",
                         "upgrade FAILED: flash program fail"}));
        QVERIFY(inOrder(hostLines(run.out, error.host()),
                        {"Programming flash ... in progress", "flash chip gone",
                         "!!! UPGRADE FLASH ABORT !!!",
                         "upgrade FAILED: *** ERROR *** flash chip gone"}));
        QVERIFY(inOrder(hostLines(run.out, close.host()),
                        {"Erasing flash ... in progress", "!!! CONNECTION TO ENCODER LOST !!!",
                         "!!! UPGRADE FLASH ABORT !!!"}));
        const QString summary = run.out.mid(run.out.indexOf("1 of 4 encoders upgraded, 3 failed"));
        QCOMPARE(summary.split('\n', Qt::SkipEmptyParts),
                 QStringList(
                     {"1 of 4 encoders upgraded, 3 failed",
                      "FAILED " + fail.host() + ": flash program fail",
                      "FAILED " + error.host() + ": *** ERROR *** flash chip gone",
                      "FAILED " + close.host() + ": connection to encoder lost while erasing flash",
                      "to try the failed encoders again: fwupgrade-cli " + image + " " +
                          fail.host() + " " + error.host() + " " + close.host()}));
    }

    // On a terminal: one line per encoder redrawn in place, cut to the terminal's width,
    // with the log lines above them and no percentage lines of their own.
    void terminalOutput() {
        Sim a(OkSim), b(OkSim);
        QVERIFY(a.ready() && b.ready());
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 40;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
        QProcess cli;
        cli.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
        cli.start(CliPath, {image, a.host(), b.host()});
        ::close(slave);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        QByteArray bytes;
        const auto drain = [&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(master, chunk, sizeof chunk)) > 0)
                bytes.append(chunk, n);
        };
        QElapsedTimer clock;
        clock.start();
        while (cli.state() != QProcess::NotRunning && clock.elapsed() < 20000) {
            drain();
            QTest::qWait(10);
        }
        drain();
        ::close(master);
        QCOMPARE(cli.state(), QProcess::NotRunning);
        QCOMPARE(cli.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(bytes).remove(QLatin1Char('\r'));

        QVERIFY(out.contains(a.host() + ": send data header\n"));
        QVERIFY(
            out.contains(b.host() + ": FLASH PROGRAMMED SUCCESSFULLY...NOW REBOOT THE ENCODER"));
        QVERIFY(
            !out.contains(QRegularExpression(": (transfer|sending|erasing|programming) \\d+%")));
        // Back up over the two encoders' lines and the overall line to redraw them.
        QVERIFY(out.contains("\x1b[3A"));
        QVERIFY(out.contains("\x1b[2K1 of 2 done, 0 failed, 1 in flight"));
        QVERIFY(out.contains("\x1b[2K" + a.host() + "  Erasing flash"));
        QVERIFY(out.endsWith("\x1b[2K" + a.host() + "  upgrade succeeded\n\x1b[2K" + b.host() +
                             "  upgrade succeeded\n\x1b[2K2 of 2 done, 0 failed, 0 in flight\n"
                             "2 of 2 encoders upgraded, 0 failed\n"));
        for (const QString& piece : out.split("\x1b[2K").mid(1)) {
            const QString row = piece.left(piece.indexOf('\n'));
            QVERIFY2(row.size() <= 39, qPrintable(row));
        }
    }

    // One encoder at a time through the faults and oddities an encoder may show.
    void singleEncoder_data() {
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<QStringList>("cliOptions");
        QTest::addColumn<QString>("reason"); // empty: success
        QTest::addColumn<QString>("line");   // how a line of this encoder's must begin
        QTest::newRow("fail at receive")
            << QStringList{"--fail-at", "receive"} << QStringList{} << "flash program fail"
            << "Sending image file ... in progress";
        QTest::newRow("error at erase") << QStringList{"--error-at", "erase"} << QStringList{}
                                        << "*** ERROR *** simulated error"
                                        << "simulated error";
        QTest::newRow("close at program") << QStringList{"--close-at", "program"} << QStringList{}
                                          << "connection to encoder lost while programming flash"
                                          << "!!! CONNECTION TO ENCODER LOST !!!";
        QTest::newRow("reset at erase") << QStringList{"--reset-at", "erase"} << QStringList{}
                                        << "connection to encoder lost while erasing flash"
                                        << "!!! CONNECTION TO ENCODER LOST !!!";
        QTest::newRow("silent at erase")
            << QStringList{"--silent-at", "erase"} << QStringList{"--silence", "0.3"}
            << "no reply from the encoder for 0.3 s while erasing flash"
            << "!!! NO REPLY FROM ENCODER FOR 0.3 S !!!";
        QTest::newRow("silence not reached")
            << QStringList{"--gap-ms", "5"} << QStringList{"--silence", "2"} << QString()
            << "upgrade succeeded";
        QTest::newRow("merged replies")
            << QStringList{"--merge-replies"} << QStringList{} << QString() << "upgrade succeeded";
        QTest::newRow("split reply") << QStringList{"--split-replies"} << QStringList{} << QString()
                                     << "encoder: start receiving image file";
        QTest::newRow("whole upgrade bounded")
            << QStringList{"--silent-at", "program"} << QStringList{"--timeout", "1.5"}
            << "not done within 1.5 s while programming flash"
            << "!!! UPGRADE NOT DONE WITHIN 1.5 S !!!";
        // An encoder that chatters is shown up to a point, then counted.
        QTest::newRow("chatter") << QStringList{"--long-reply", "100000"} << QStringList{}
                                 << QString() << "the encoder sends more than 200 replies to show";
        // A terminal's control sequences from the encoder (CSI as C1 and as ESC [) are
        // escaped.
        QTest::newRow("control sequences") << QStringList{"--error-at", "erase", "--error-text",
                                                          QString::fromUtf8("\u009b2J\x1b[2J")}
                                           << QStringList{} << "*** ERROR *** \\x9b2J\\x1b[2J"
                                           << "\\x9b2J\\x1b[2J";
        // Control bytes from the encoder are shown escaped, never written raw.
        QTest::newRow("garbage") << QStringList{"--garbage"} << QStringList{} << QString()
                                 << "encoder: \\x01\\x02\\x03";
        QTest::newRow("long reply") << QStringList{"--long-reply", "600"} << QStringList{}
                                    << QString() << "encoder: long reply long reply";
    }
    void singleEncoder() {
        QFETCH(QStringList, simArguments);
        QFETCH(QStringList, cliOptions);
        QFETCH(QString, reason);
        QFETCH(QString, line);
        Sim sim(QStringList{"--once", "--gap-ms", "0"} + simArguments);
        QVERIFY(sim.ready());
        const CliRun run = runCli(cliOptions + QStringList{image, sim.host()});
        const QStringList lines = hostLines(run.out, sim.host());
        QVERIFY2(std::any_of(lines.begin(), lines.end(),
                             [&](const QString& shown) { return shown.startsWith(line); }),
                 qPrintable(run.out));
        if (reason.isEmpty()) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY(inOrder(lines, SuccessStory));
        } else {
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(lines.last(), "upgrade FAILED: " + reason);
            QVERIFY(run.out.contains("\nFAILED " + sim.host() + ": " + reason + "\n"));
            QVERIFY(run.err.contains("\nFAILED " + sim.host() + ": " + reason + "\n"));
        }
        for (const QChar c : run.out)
            QVERIFY2(c == '\n' || c.unicode() >= 0x20, "a raw control character in the output");
    }

    // A refused connection is the window's "SERVER NOT READY": nothing is sent to it, and
    // the other encoder goes on.
    void refusedConnection() {
        Sim refusing({"--refuse"});
        Sim ok(OkSim);
        QVERIFY(refusing.ready() && ok.ready());
        const CliRun run = runCli({image, refusing.host(), ok.host()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(hostLines(run.out, refusing.host()),
                 QStringList({"connecting to " + refusing.host(),
                              "upgrade FAILED: SERVER NOT READY (connection refused)"}));
        QVERIFY(inOrder(hostLines(run.out, ok.host()), SuccessStory));
        QVERIFY(run.out.contains("1 of 2 encoders upgraded, 1 failed\nFAILED " + refusing.host() +
                                 ": SERVER NOT READY (connection refused)\n"));
    }

    // The JSON events parse, are complete, and tell the story the plain lines tell.
    void jsonTellsTheSameStory() {
        const QStringList serving{"--gap-ms", "0"}; // no --once: two runs
        Sim ok(serving), fail(serving + QStringList{"--fail-at", "program"}),
            close(serving + QStringList{"--close-at", "erase"});
        QVERIFY(ok.ready() && fail.ready() && close.ready());
        const QStringList hosts{ok.host(), fail.host(), close.host()};
        const CliRun plain = runCli(QStringList{image} + hosts);
        const CliRun json = runCli(QStringList{"--json", image} + hosts);
        QCOMPARE(json.exitCode, 1);
        QCOMPARE(plain.exitCode, 1);

        bool allParsed = false;
        const QList<QJsonObject> events = jsonEvents(json.out, &allParsed);
        QVERIFY(allParsed);
        QVERIFY(events.size() > 20);
        for (const QJsonObject& event : events) {
            QVERIFY(event["event"].isString() && event["ms"].isDouble());
            QCOMPARE(event["schema"].toInt(), 1);
            QVERIFY(QDateTime::fromString(event["time"].toString(), Qt::ISODateWithMs).isValid());
            if (event["event"] == "connect")
                QVERIFY(event["port"].isDouble());
            if (event["event"] == "connected")
                QVERIFY(event["remotePort"].isDouble());
        }
        const QJsonObject first = events.first();
        QCOMPARE(first["event"].toString(), "image");
        QCOMPARE(first["length"].toInt(), 100'000);
        QCOMPARE(first["checksum"].toString(), ChecksumText(checksumOf(imageBytes)));
        QCOMPARE(first["fill"].toInt(-1), FillPercentage(100'000));
        QCOMPARE(first["fillText"].toString(), FillPercentageText(100'000));
        const QJsonObject summary = events.last();
        QCOMPARE(summary["event"].toString(), "summary");
        QCOMPARE(summary["exitCode"].toInt(), 1);
        QCOMPARE(summary["succeeded"].toArray(), QJsonArray({ok.host()}));

        const QRegularExpression progressLine("^(transfer|sending|erasing|programming) \\d+%$");
        for (const QString& host : hosts) {
            QStringList told;
            QStringList kinds;
            QHash<QString, int> lastPercent;
            QString reason;
            for (const QJsonObject& event : events) {
                if (event["host"].toString() != host)
                    continue;
                const QString kind = event["event"].toString();
                QVERIFY2(!kinds.contains("end"), "an event after the end");
                kinds << kind;
                if (kind == "log")
                    told << (event["log"] == "device" ? "encoder: " : "") +
                                event["text"].toString();
                else if (kind == "stage")
                    told << event["text"].toString();
                else if (kind == "end") {
                    reason = event["reason"].toString();
                    told << (event["result"] == "success" ? QStringLiteral("upgrade succeeded")
                                                          : "upgrade FAILED: " + reason);
                } else if (kind == "progress") {
                    const int percent = event["percent"].toInt(-1);
                    QVERIFY(percent >= 0 && percent <= 100);
                    lastPercent[event["stage"].toString()] = percent;
                }
            }
            QCOMPARE(kinds.value(0), "connect");
            QCOMPARE(kinds.value(1), "connected");
            QCOMPARE(kinds.count("end"), 1);
            QCOMPARE(lastPercent.value("transfer"), 100);
            QStringList plainLines;
            for (const QString& line : hostLines(plain.out, host)) {
                if (!line.startsWith("connecting to ") && !line.startsWith("connected from ") &&
                    !progressLine.match(line).hasMatch())
                    plainLines << line;
            }
            QCOMPARE(told, plainLines);
            if (host == ok.host()) {
                QCOMPARE(reason, "verify flash program...done");
                for (const char* stage : {"sending", "erasing", "programming"})
                    QCOMPARE(lastPercent.value(stage), 100);
            } else {
                bool listed = false;
                for (const QJsonValue& failed : summary["failed"].toArray())
                    listed = listed || (failed["host"] == host && failed["reason"] == reason);
                QVERIFY2(listed, qPrintable(host));
            }
        }
    }

    // The same bytes as the window's on the wire: the 12-byte header, at least 1,000 ms of
    // nothing, then the image, and nothing more. One encoder is the simulator, which checks
    // header, checksum and pause; the other a bare listener that records every byte and never
    // answers, so --silence ends that upgrade.
    void wireBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected"); // empty: windowBytes(bytes)
        QTest::newRow("abc") << QByteArray("abc")
                             << QByteArray::fromHex("00000000"
                                                    "03000000"
                                                    "dafeffff"
                                                    "616263");
        QTest::newRow("empty") << QByteArray() << QByteArray(12, '\0');
        QTest::newRow("random 300 KB") << randomImage(300'000, 3) << QByteArray();
    }
    void wireBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        if (expected.isEmpty())
            expected = windowBytes(bytes);
        QCOMPARE(windowBytes(bytes), expected);
        const QString path = writeFile(QStringLiteral("wire-%1.bin").arg(bytes.size()), bytes);
        QVERIFY(!path.isEmpty());

        Sim sim(OkSim);
        QVERIFY(sim.ready());
        QTcpServer recorder;
        QVERIFY(recorder.listen(QHostAddress::LocalHost));
        QByteArray recorded;
        bool closed = false;
        std::unique_ptr<QTcpSocket> peer;
        connect(&recorder, &QTcpServer::newConnection, this, [&] {
            peer.reset(recorder.nextPendingConnection());
            connect(peer.get(), &QTcpSocket::readyRead, this, [&] { recorded += peer->readAll(); });
            connect(peer.get(), &QTcpSocket::disconnected, this, [&] { closed = true; });
        });
        const QString recorderHost = QStringLiteral("127.0.0.1:%1").arg(recorder.serverPort());

        // An empty image goes out only when asked for.
        const CliRun run =
            runCli({"--allow-empty", "--silence", "0.5", path, sim.host(), recorderHost});
        QCOMPARE(run.exitCode, 1);
        QTRY_VERIFY(closed);
        QCOMPARE(recorded.size(), expected.size());
        QCOMPARE(recorded, expected);
        QVERIFY(!recorder.hasPendingConnections());
        QCOMPARE(hostLines(run.out, recorderHost).last(),
                 "upgrade FAILED: no reply from the encoder for 0.5 s while waiting for the "
                 "encoder to receive the image");

        QVERIFY(inOrder(hostLines(run.out, sim.host()), SuccessStory));
        const QJsonObject report = sim.report();
        QCOMPARE(report["reserved"].toInteger(-1), 0);
        QCOMPARE(report["length"].toInteger(-1), bytes.size());
        QCOMPARE(report["checksum"].toInteger(-1), qint64(checksumOf(bytes)));
        QCOMPARE(report["checksumValid"].toBool(), true);
        QCOMPARE(report["bytesReceived"].toInteger(-1), bytes.size());
        if (!bytes.isEmpty()) {
            const double pause = report["headerToImageMs"].toDouble();
            QVERIFY2(pause >= 1000.0, qPrintable(QString::number(pause)));
        }
    }

    // The first signal starts nothing new and stops what has not begun to erase (here a
    // connect that hangs), while an encoder already erasing is named and left to finish; a
    // second signal stops that one too, with the warning. The status tells the signal.
    void interrupted_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("twice");
        QTest::newRow("SIGINT") << int(SIGINT) << "SIGINT" << false;
        QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM" << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << "SIGHUP" << false;
        QTest::newRow("SIGINT twice") << int(SIGINT) << "SIGINT" << true;
    }
    void interrupted() {
        QFETCH(int, signalNumber);
        QFETCH(QString, name);
        QFETCH(bool, twice);
        // About two seconds of erasing, then a short programming.
        Sim erasing({"--once", "--gap-ms", "2", "--erase-step", "0x1000"});
        QVERIFY(erasing.ready());
        ChannelListener full(0, 0);
        auto fillers = channelFillBacklog(full.port());
        QStringList hosts{erasing.host()};
        const QString hanging = QStringLiteral("127.0.0.1:%1").arg(full.port());
        if (!fillers.empty())
            hosts << hanging;

        QProcess cli;
        cli.start(CliPath, QStringList{"--plain", image} + hosts);
        QString out;
        const auto shows = [&](const QString& host, const QString& line) {
            out += QString::fromLocal8Bit(cli.readAllStandardOutput());
            return hostLines(out, host).contains(line);
        };
        QTRY_VERIFY_WITH_TIMEOUT(shows(erasing.host(), "Erasing flash ... in progress"), 15000);
        QVERIFY(cli.state() == QProcess::Running);
        ::kill(pid_t(cli.processId()), signalNumber);
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(cli.readAllStandardOutput()),
                                  out.contains("is left to finish")),
                                 5000);
        if (twice)
            ::kill(pid_t(cli.processId()), signalNumber);
        QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 15000);
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), 128 + signalNumber);
        out += QString::fromLocal8Bit(cli.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(cli.readAllStandardError());

        QVERIFY2(out.contains("interrupted by " + name + ": no new connection"), qPrintable(out));
        QVERIFY(out.contains("!!! DO NOT SWITCH POWER OFF !!! " + erasing.host() +
                             " is erasing flash and is left to finish\n"));
        if (!fillers.empty())
            QVERIFY(out.contains("FAILED " + hanging + ": interrupted while connecting\n"));
        const QString warning = "!!! DO NOT SWITCH POWER OFF !!! " + erasing.host() +
                                " was erasing flash when the run was interrupted";
        if (twice) {
            QVERIFY(out.contains("interrupted again by " + name));
            QVERIFY(
                out.contains("FAILED " + erasing.host() + ": interrupted while erasing flash\n"));
            QVERIFY2(out.contains(warning + "\n") && err.contains(warning + "\n"), qPrintable(err));
            QVERIFY(!erasing.report(5000)["complete"].toBool(true));
        } else {
            QVERIFY(hostLines(out, erasing.host()).contains("upgrade succeeded"));
            QVERIFY(!out.contains(warning));
            QVERIFY(erasing.report(5000)["complete"].toBool());
        }
    }

    // At most N in flight, the rest in the order given: each connect after an end.
    void maxParallelKeepsTheOrder() {
        Sim a(OkSim), b(OkSim), c(OkSim);
        QVERIFY(a.ready() && b.ready() && c.ready());
        const CliRun run =
            runCli({"--plain", "--max-parallel", "1", image, a.host(), b.host(), c.host()});
        QCOMPARE(run.exitCode, 0);
        QStringList order;
        for (const QString& line : run.out.split('\n')) {
            if (line.contains(": connecting to ") || line.endsWith(": upgrade succeeded"))
                order << line.section(": ", 0, 0) + (line.contains("connecting") ? " +" : " -");
        }
        QCOMPARE(order, QStringList({a.host() + " +", a.host() + " -", b.host() + " +",
                                     b.host() + " -", c.host() + " +", c.host() + " -"}));
    }

    // A connect that fails before anything was sent is tried again; the third succeeds.
    void retryUntilTheEncoderListens() {
        std::uint16_t port = 0;
        {
            ChannelListener probe;
            port = probe.port(); // free again once closed
        }
        const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
        const QString report = dir.filePath("retry-report.json");
        QProcess cli;
        cli.start(CliPath, {"--plain", "--retries", "4", "--retry-delay", "0.4", "--report", report,
                            image, host});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(cli.readAllStandardOutput()),
                                  out.contains("attempt 2 of 5 failed")),
                                 10000);
        SimProcess late;
        QVERIFY(late.start({"--port", QString::number(port), "--once", "--gap-ms", "0"}));
        QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 20000);
        out += QString::fromLocal8Bit(cli.readAllStandardOutput());
        QCOMPARE(cli.exitCode(), 0);
        QVERIFY(inOrder(hostLines(out, host),
                        {"connecting to " + host,
                         "attempt 1 of 5 failed: SERVER NOT READY (connection refused); next "
                         "attempt in 0.4 s",
                         "connecting to " + host + " (attempt 2)",
                         "connecting to " + host + " (attempt 3)", "upgrade succeeded"}));
        const QJsonObject encoder = readJson(report)["encoders"].toArray().first().toObject();
        QCOMPARE(encoder["attempts"].toInt(), 3);
        QCOMPARE(encoder["cause"].toString(), "success");
    }

    // Once a byte of the header has gone, the encoder is never sent anything more.
    void noRetryAfterTheHeader() {
        Sim closing({"--gap-ms", "0", "--close-at", "header"}); // serves on after each
        QVERIFY(closing.ready());
        const CliRun run =
            runCli({"--plain", "--retries", "3", "--retry-delay", "0", image, closing.host()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out.count("connecting to "), 1);
        QVERIFY(!run.out.contains("attempt 1 of"));
        QVERIFY(!closing.report(5000).isEmpty());
        QVERIFY(closing.report(500).isEmpty()); // no second connection
    }

    // --check reads the image, resolves the hosts, tells the plan and connects to nothing.
    void checkOpensNoConnection() {
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        const QString host = QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort());
        const QString hosts =
            writeFile("check-hosts.txt", "# site A\n\n localhost:1999  # spare\n");
        const CliRun run =
            runCli({"--check", "--max-parallel", "2", "--hosts-file", hosts, image, host});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("would upgrade 2 encoders, at most 2 at once:\n  " + host +
                                  " at " + host + "\n  localhost:1999 at 127.0.0.1:1999\n"),
                 qPrintable(run.out));
        QVERIFY(run.out.contains("no connection was opened"));
        QVERIFY(!encoder.waitForNewConnection(300));
    }

    // The report names every encoder's end; the failed-hosts file feeds --hosts-file again.
    void reportAndFailedHosts() {
        Sim ok(OkSim), fail(OkSim + QStringList{"--fail-at", "erase"});
        QVERIFY(ok.ready() && fail.ready());
        const QString hosts = writeFile("hosts.txt", (ok.host() + "\n").toUtf8());
        const QString report = dir.filePath("report.json");
        const QString failed = dir.filePath("failed.txt");
        const CliRun run = runCli({"--plain", "--hosts-file", hosts, "--report", report,
                                   "--failed-hosts", failed, image, fail.host()});
        QCOMPARE(run.exitCode, 1);
        const QJsonObject document = readJson(report);
        QCOMPARE(document["schema"].toInt(), 1);
        QCOMPARE(document["exitCode"].toInt(), 1);
        QCOMPARE(document["image"]["length"].toInt(), 100'000);
        QCOMPARE(document["image"]["fill"].toInt(-1), FillPercentage(100'000));
        QCOMPARE(document["image"]["checksum"].toString(), ChecksumText(checksumOf(imageBytes)));
        const QDateTime start =
            QDateTime::fromString(document["start"].toString(), Qt::ISODateWithMs);
        const QDateTime end = QDateTime::fromString(document["end"].toString(), Qt::ISODateWithMs);
        QVERIFY(start.isValid() && end.isValid() && start <= end);
        const QJsonArray encoders = document["encoders"].toArray();
        QCOMPARE(encoders.size(), 2);
        // The command line's hosts first, then the file's.
        QCOMPARE(encoders[0]["host"].toString(), fail.host());
        QCOMPARE(encoders[0]["result"].toString(), "failure");
        QCOMPARE(encoders[0]["cause"].toString(), "program-fail");
        QCOMPARE(encoders[0]["stage"].toString(), "erasing flash");
        QCOMPARE(encoders[1]["host"].toString(), ok.host());
        QCOMPARE(encoders[1]["cause"].toString(), "success");
        QCOMPARE(encoders[1]["attempts"].toInt(), 1);
        QVERIFY(encoders[1]["durationMs"].toInt() >= 1000);
        QFile list(failed);
        QVERIFY(list.open(QIODevice::ReadOnly));
        QCOMPARE(list.readAll(), (fail.host() + "\n").toUtf8());
        QVERIFY(run.out.contains("to try the failed encoders again: fwupgrade-cli --plain "
                                 "--hosts-file " +
                                 failed + " " + image));
    }

    // `| head -1`: the reader goes at once; the upgrade goes on to its end all the same.
    void readerThatGoesAway() {
        Sim sim(OkSim);
        QVERIFY(sim.ready());
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        const pid_t pid =
            spawnRaw({"--plain", image.toLocal8Bit(), sim.host().toLatin1()}, ends[1]);
        ::close(ends[1]);
        ::close(ends[0]);
        QVERIFY(pid > 0);
        QCOMPARE(waitForExit(pid, 20000), 0);
        QVERIFY(sim.report()["complete"].toBool());
    }

    // A reader that never reads holds up nothing: the pause stays 1,000 ms, the upgrade ends.
    void readerThatDoesNotRead() {
        const QString big = writeFile("chatty.bin", randomImage(MaxImageSize, 5));
        Sim sim({"--once", "--gap-ms", "0", "--receive-step", "4096", "--erase-step", "0x1000",
                 "--program-step", "4096", "--long-reply", "50000"});
        QVERIFY(sim.ready());
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        const pid_t pid = spawnRaw({"--json", big.toLocal8Bit(), sim.host().toLatin1()}, ends[1]);
        ::close(ends[1]);
        QVERIFY(pid > 0);
        const QJsonObject report = sim.report(30000);
        QVERIFY(report["complete"].toBool());
        QVERIFY2(report["headerToImageMs"].toDouble() < 1100,
                 qPrintable(QString::number(report["headerToImageMs"].toDouble())));
        const QByteArray out = readAll(ends[0]); // reads at last; the run then ends
        ::close(ends[0]);
        QCOMPARE(waitForExit(pid, 10000), 0);
        QVERIFY(out.size() > 65536); // more than a pipe holds: the writer did wait
        QVERIFY(out.contains("\"event\":\"summary\""));
    }

    // A terminal's control sequence from the encoder (CSI as C1, and DEL) stays escaped in JSON
    // too, where a JSON library would write it raw.
    void controlCharactersInJson() {
        Sim sim(OkSim + QStringList{"--error-at", "erase", "--error-text",
                                    QString::fromUtf8("x\u009b2Jy\x7f")});
        QVERIFY(sim.ready());
        QProcess cli;
        cli.start(CliPath, {"--json", image, sim.host()});
        QVERIFY(cli.waitForFinished(20000));
        const QByteArray out = cli.readAllStandardOutput();
        QVERIFY(out.contains("x\\u009b2Jy\\u007f"));
        QVERIFY(!out.contains("\xc2\x9b"));
        QVERIFY(!out.contains('\x7f'));
    }

    // An image path that is no valid text still opens.
    void pathThatIsNoText() {
        const QByteArray name = QFile::encodeName(dir.path()) + "/image-\xff\xfe.bin";
        {
            QFile file(QString::fromLocal8Bit(name));
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, "abc", 3), ssize_t(3));
            ::close(fd);
        }
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        const pid_t pid = spawnRaw({"--check", name, "127.0.0.1:999"}, ends[1]);
        ::close(ends[1]);
        QVERIFY(pid > 0);
        QCOMPARE(waitForExit(pid, 10000), 0);
        const QByteArray out = readAll(ends[0]);
        ::close(ends[0]);
        QVERIFY2(out.contains("File checksum.............. 0xfffffeda"), out.constData());
        ::unlink(name.constData());
    }

    // An encoder that stops reading in the middle of the image, and one whose connect hangs,
    // hold up nobody: the third is upgraded meanwhile.
    void stuckEncodersHoldUpNobody() {
        const QString big = writeFile("big.bin", randomImage(MaxImageSize, 11));
        Sim stuck({"--once", "--gap-ms", "0", "--stop-reading-after", "1000"});
        Sim ok(OkSim);
        QVERIFY(stuck.ready() && ok.ready());
        ChannelListener full(0, 0);
        auto fillers = channelFillBacklog(full.port());
        QStringList hosts{stuck.host(), ok.host()};
        const QString hanging = QStringLiteral("127.0.0.1:%1").arg(full.port());
        if (!fillers.empty())
            hosts.prepend(hanging);

        QProcess cli;
        cli.start(CliPath, QStringList{big} + hosts);
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(cli.readAllStandardOutput()),
                                  hostLines(out, ok.host()).contains("upgrade succeeded")),
                                 20000);
        QVERIFY(cli.state() == QProcess::Running);
        QVERIFY(!hostLines(out, stuck.host()).join('\n').contains("upgrade"));
        ::kill(pid_t(cli.processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 5000);
        QCOMPARE(cli.exitCode(), 130);
        out += QString::fromLocal8Bit(cli.readAllStandardOutput());
        QVERIFY(out.contains(QRegularExpression(
            "\nFAILED " + QRegularExpression::escape(stuck.host()) + ": interrupted while ")));
        if (!fillers.empty())
            QVERIFY(out.contains("FAILED " + hanging + ": interrupted while connecting\n"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
