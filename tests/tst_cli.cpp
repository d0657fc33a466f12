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
#include <unistd.h>

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
        QVERIFY(run.out.startsWith("Usage: fwupgrade-cli [options] IMAGE HOST[:PORT]..."));
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
        for (QString& argument : arguments) {
            argument.replace("%I", image);
            argument.replace("%H", QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort()));
        }
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
        const CliRun run = runCli({path, QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort())});
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
                 QStringList({"1 of 4 encoders upgraded, 3 failed",
                              "FAILED " + fail.host() + ": flash program fail",
                              "FAILED " + error.host() + ": *** ERROR *** flash chip gone",
                              "FAILED " + close.host() +
                                  ": connection to encoder lost while erasing flash",
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
        for (const QJsonObject& event : events)
            QVERIFY(event["event"].isString() && event["ms"].isDouble());
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
        const CliRun run = runCli({"--allow-empty", "--silence", "0.5", path, sim.host(), recorderHost});
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
            QVERIFY(out.contains("FAILED " + erasing.host() + ": interrupted while erasing flash\n"));
            QVERIFY2(out.contains(warning + "\n") && err.contains(warning + "\n"), qPrintable(err));
            QVERIFY(!erasing.report(5000)["complete"].toBool(true));
        } else {
            QVERIFY(hostLines(out, erasing.host()).contains("upgrade succeeded"));
            QVERIFY(!out.contains(warning));
            QVERIFY(erasing.report(5000)["complete"].toBool());
        }
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
