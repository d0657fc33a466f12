// fwupgrade-cli run in this process, as its main() runs it: the command line, hosts files and
// images refused, whole runs against encoder-sim instances on loopback, and the outputs'
// formats (the plain progress lines, the rerun command, --help against --json, completion).

#include "CliOptions.h"
#include "CliRun.h"
#include "FirmwareImage.h"
#include "OutputChannel.h"
#include "Rollout.h"
#include "RunOutput.h"
#include "UpgradeHeader.h"
#include "channel_listener.h"
#include "cli_in_process.h"
#include "cli_output.h"
#include "fleet_in_process.h"
#include "sim_process.h"
#include "test_image.h"
#include "test_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// The standard output of the run in progress, for a test that acts on it meanwhile.
QString* liveOutput = nullptr;
QString outputSoFar() {
    return liveOutput ? *liveOutput : QString();
}

CliRun runCli(const QStringList& arguments) {
    QString live;
    liveOutput = &live;
    const CliRun run = RunCliInProcess(arguments, &live);
    liveOutput = nullptr;
    return run;
}

// What an output writes for these events: standard output, then standard error.
QStringList written(OutputMode mode, const QList<RunEvent>& events) {
    QTemporaryFile outFile;
    QTemporaryFile errFile;
    if (!outFile.open() || !errFile.open())
        return {};
    {
        OutputChannel out(outFile.handle());
        OutputChannel err(errFile.handle());
        const std::unique_ptr<RunOutput> output = MakeOutput(mode, out, err);
        for (const RunEvent& event : events)
            output->write(event);
        out.drain(std::chrono::seconds(5));
        err.drain(std::chrono::seconds(5));
    }
    outFile.seek(0);
    errFile.seek(0);
    return {QString::fromLocal8Bit(outFile.readAll()), QString::fromLocal8Bit(errFile.readAll())};
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

// The bytes the window puts on the wire: the 12-byte header, then the whole image.
QByteArray windowBytes(const QByteArray& image) {
    const auto header = UpgradeHeader(std::int32_t(image.size()), ImageSumChecksum(image));
    return QByteArray(reinterpret_cast<const char*>(header.data()), UpgradeHeaderSize) + image;
}

// The fields --help gives each --json event, values in brackets left out.
QHash<QString, QSet<QString>> helpEventFields() {
    QHash<QString, QSet<QString>> events;
    const QString help = HelpText();
    const QString part = help.mid(help.indexOf("--json events"));
    static const QRegularExpression row("^  ([a-z]+) +(.*?)(?:   +.*)?$",
                                        QRegularExpression::MultilineOption);
    for (auto match = row.globalMatch(part.left(part.indexOf("\n\n"))); match.hasNext();) {
        const QRegularExpressionMatch line = match.next();
        QString fields = line.captured(2);
        fields.remove(QRegularExpression(" \\([^)]*\\)"));
        const QStringList names = fields.split(", ");
        events[line.captured(1)] = QSet<QString>(names.begin(), names.end());
    }
    return events;
}

// The replies of a bash completion function for the words, the last the one completed.
QStringList completions(const QString& script, const QStringList& words) {
    QStringList quoted;
    for (const QString& word : words)
        quoted << ShellQuoted(word);
    const ProgramRun run =
        RunProgram("/bin/bash", {"-c", QStringLiteral("%1\nCOMP_WORDS=(%2); COMP_CWORD=%3; "
                                                      "_fwupgrade_cli; printf '%s\\n' "
                                                      "\"${COMPREPLY[@]}\"")
                                           .arg(script, quoted.join(' '))
                                           .arg(words.size() - 1)});
    QStringList replies = run.out.split('\n', Qt::SkipEmptyParts);
    replies.sort();
    return replies;
}

const QStringList OkSim{"--report-line", "--once", "--gap-ms", "0"};

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

RunEvent progressEvent(int encoder, const QString& stage, int percent) {
    return {RunEventKind::Progress,
            encoder,
            {{"host", QStringLiteral("e%1").arg(encoder)}, {"stage", stage}, {"percent", percent}}};
}

} // namespace

Q_DECLARE_METATYPE(QList<RunEvent>)

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
        return WriteImageFile(dir.filePath(name), bytes);
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("ENCODER_SIM").isEmpty(), "ENCODER_SIM is not set");
        QVERIFY(dir.isValid());
        // The runs' history stays in this test's folder.
        qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
        imageBytes = RandomImage(100'000, 7);
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
        QTest::newRow("max-failures 0")
            << QStringList{"--max-failures", "0", "%I", "%H"} << "bad --max-failures '0'";
        QTest::newRow("max-failures 101%")
            << QStringList{"--max-failures", "101%", "%I", "%H"} << "bad --max-failures '101%'";
        QTest::newRow("canary word")
            << QStringList{"--canary", "some", "%I", "%H"} << "bad --canary 'some'";
        QTest::newRow("retries word")
            << QStringList{"--retries", "many", "%I", "%H"} << "bad --retries 'many'";
        // A value that looks like a placeholder is quoted as it was given.
        QTest::newRow("timeout %1") << QStringList{"--timeout", "%1", "%I", "%H"}
                                    << "bad --timeout '%1': give a number of seconds from 0 and "
                                       "up to 86400";
        QTest::newRow("retries %3x") << QStringList{"--retries", "%3x", "%I", "%H"}
                                     << "bad --retries '%3x': give a whole number from 0 to 1000";
        QTest::newRow("timeout twice")
            << QStringList{"--timeout", "1", "--timeout", "2", "%I", "%H"}
            << "--timeout is given more than once";
        QTest::newRow("json error") << QStringList{"--json", "%I", "0:%P"} << "does not resolve";
        QTest::newRow("hosts file bad line") << QStringList{"--hosts-file", "%F", "%I"}
                                             << "%F, line 4: bad encoder address 'bad host!'";
        QTest::newRow("silence below 0")
            << QStringList{"--silence", "-1", "%I", "%H"} << "bad --silence '-1'";
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
    // A bad line is quoted by its first 200 bytes (whole characters), not echoed whole.
    void longBadLineQuotedShort_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("16 MiB") << QByteArray((16 << 20) - 1, 'a')
                                << "'" + QString(200, 'a') + "...' (16777215 bytes)";
        QTest::newRow("a character across byte 200")
            << "a" + QString(150, QChar(0xe9)).toUtf8()
            << "'a" + QString(99, QChar(0xe9)) + "...' (301 bytes)";
        QTest::newRow("placeholders") << QByteArray("%1").repeated(150)
                                      << "'" + QString("%1").repeated(100) + "...' (300 bytes)";
    }
    void longBadLineQuotedShort() {
        QFETCH(QByteArray, line);
        QFETCH(QString, quoted);
        const QString hosts = writeFile("long-line.txt", line);
        const CliRun run = runCli({"--hosts-file", hosts, image});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(hosts + ", line 1: bad encoder address " + quoted),
                 qPrintable(run.err.left(1000)));
        QVERIFY(run.err.size() < 1000);
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
        QTest::newRow("a placeholder in the name")
            << "long%1.bin" << qint64(MaxImageSize + 1)
            << "'%1': FILE TOO LONG (more than 3997696 bytes)";
        QTest::newRow("empty") << "empty.bin" << qint64(0)
                               << "the image '%1' is empty: the encoder would erase its flash";
        // A name cannot drive the terminal: its controls are shown escaped.
        QTest::newRow("an escape in the name")
            << "\x1b[2J\u009b.bin" << qint64(-1) << "/\\x1b[2J\\x9b.bin': no such file";
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
        QVERIFY2(run.err.contains(message.contains("%1") ? message.arg(path) : message),
                 qPrintable(run.err));
        QVERIFY(!run.err.contains(QChar(0x1b)));
        QCOMPARE(run.out, QString());
        QVERIFY(!encoder.waitForNewConnection(100));
    }
    // The image summary as the window shows it, then every encoder through to success.
    void allSucceed() {
        SimProcess a, b, c;
        QVERIFY(a.start(OkSim) && b.start(OkSim + QStringList{"--receive-step", "0x4000"}) &&
                c.start(OkSim));
        const CliRun run = runCli({image, a.host(), b.host(), c.host()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.startsWith(QStringLiteral("Selected file : %1\n").arg(image)));
        QVERIFY(run.out.contains("\nFile size (byte) ............ 100000 " +
                                 FillPercentageText(100'000) + "\n"));
        QVERIFY(run.out.contains("\nFile checksum.............. " +
                                 ChecksumText(ImageSumChecksum(imageBytes)) + "\n"));
        for (SimProcess* sim : {&a, &b, &c}) {
            const QStringList lines = HostLines(run.out, sim->host());
            QVERIFY2(inOrder(lines, SuccessStory), qPrintable(lines.join('\n')));
            QCOMPARE(lines.count("upgrade succeeded"), 1);
            const QJsonObject report = sim->nextReport();
            QCOMPARE(report["complete"].toBool(), true);
            QCOMPARE(report["checksumValid"].toBool(), true);
        }
        QVERIFY(run.out.endsWith("3 of 3 encoders upgraded, 0 failed\n"));
        // No terminal, no question.
        QVERIFY(!run.out.contains("[y/N]"));
        QVERIFY(!run.out.contains("FAILED"));
        QVERIFY(run.err.isEmpty());
    }
    // Each failure is told with its own host and reason; the good encoder is not held up.
    void mixedBatch() {
        SimProcess ok, fail, error, close;
        QVERIFY(ok.start(OkSim) && fail.start(OkSim + QStringList{"--fail-at", "erase"}) &&
                error.start(OkSim + QStringList{"--error-at", "program", "--error-text",
                                                "flash chip gone"}) &&
                close.start(OkSim + QStringList{"--close-at", "erase"}));
        const CliRun run = runCli({image, ok.host(), fail.host(), error.host(), close.host()});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(inOrder(HostLines(run.out, ok.host()), SuccessStory));
        QVERIFY(inOrder(HostLines(run.out, fail.host()),
                        {"!!! DO NOT SWITCH POWER OFF !!!", "!!! UPGRADE FLASH ABORT !!!",
                         "upgrade FAILED: flash program fail"}));
        QVERIFY(inOrder(HostLines(run.out, error.host()),
                        {"Programming flash ... in progress", "flash chip gone",
                         "!!! UPGRADE FLASH ABORT !!!",
                         "upgrade FAILED: *** ERROR *** flash chip gone"}));
        QVERIFY(inOrder(HostLines(run.out, close.host()),
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
        SimProcess sim;
        QVERIFY(sim.start(OkSim + simArguments));
        const CliRun run = runCli(cliOptions + QStringList{image, sim.host()});
        const QStringList lines = HostLines(run.out, sim.host());
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
        SimProcess refusing, ok;
        QVERIFY(refusing.start({"--refuse"}) && ok.start(OkSim));
        const CliRun run = runCli({image, refusing.host(), ok.host()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(HostLines(run.out, refusing.host()),
                 QStringList({"connecting to " + refusing.host(),
                              "upgrade FAILED: SERVER NOT READY (connection refused)"}));
        QVERIFY(inOrder(HostLines(run.out, ok.host()), SuccessStory));
        QVERIFY(run.out.contains("1 of 2 encoders upgraded, 1 failed\nFAILED " + refusing.host() +
                                 ": SERVER NOT READY (connection refused)\n"));
    }
    // The JSON events parse, are complete, and tell the story the plain lines tell.
    void jsonTellsTheSameStory() {
        const QStringList serving{"--report-line", "--gap-ms", "0"}; // no --once: two runs
        SimProcess ok, fail, close;
        QVERIFY(ok.start(serving) && fail.start(serving + QStringList{"--fail-at", "program"}) &&
                close.start(serving + QStringList{"--close-at", "erase"}));
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
        QCOMPARE(first["checksum"].toString(), ChecksumText(ImageSumChecksum(imageBytes)));
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
            for (const QString& line : HostLines(plain.out, host)) {
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
        QTest::newRow("random 300 KB") << RandomImage(300'000, 3) << QByteArray();
    }
    void wireBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        if (expected.isEmpty())
            expected = windowBytes(bytes);
        QCOMPARE(windowBytes(bytes), expected);
        const QString path = writeFile(QStringLiteral("wire-%1.bin").arg(bytes.size()), bytes);
        QVERIFY(!path.isEmpty());

        SimProcess sim;
        QVERIFY(sim.start(OkSim));
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
        QCOMPARE(HostLines(run.out, recorderHost).last(),
                 "upgrade FAILED: no reply from the encoder for 0.5 s while waiting for the "
                 "encoder to receive the image");

        QVERIFY(inOrder(HostLines(run.out, sim.host()), SuccessStory));
        const QJsonObject report = sim.nextReport();
        QCOMPARE(report["reserved"].toInteger(-1), 0);
        QCOMPARE(report["length"].toInteger(-1), bytes.size());
        QCOMPARE(report["checksum"].toInteger(-1), qint64(ImageSumChecksum(bytes)));
        QCOMPARE(report["checksumValid"].toBool(), true);
        QCOMPARE(report["bytesReceived"].toInteger(-1), bytes.size());
        if (!bytes.isEmpty()) {
            const double pause = report["headerToImageMs"].toDouble();
            QVERIFY2(pause >= 1000.0, qPrintable(QString::number(pause)));
        }
    }
    // At most N in flight, the rest in the order given: each connect after an end.
    void maxParallelKeepsTheOrder() {
        SimProcess a, b, c;
        QVERIFY(a.start(OkSim) && b.start(OkSim) && c.start(OkSim));
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
    // A rollout that stops itself: a canary that fails, or --max-failures reached, starts no
    // further encoder; those not started end "skipped" (rollout-stopped), are in the
    // failed-hosts list and the report, and the run ends with status 1.
    void rollout_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("encoders"); // one per encoder: O succeeds, F answers an error
        QTest::addColumn<QString>("started");  // S started, - skipped
        QTest::addColumn<int>("bound");        // the failures that stop it; 0: none
        QTest::addColumn<QString>("why");      // the rollout's stop; empty: it went through
        QTest::newRow("canary succeeds")
            << QStringList{"--canary", "2", "--max-parallel", "4"} << "OOOOO"
            << "SSSSS" << 0 << "";
        QTest::newRow("canary fails") << QStringList{"--canary", "2"} << "OFOOO"
                                      << "SS---" << 0 << "the canary %2 failed";
        // Eight encoders all answering an error, two at a time: the first pair's failures are
        // counted together before anything more starts.
        QTest::newRow("max-failures 2, two at a time")
            << QStringList{"--max-failures", "2", "--max-parallel", "2"} << "FFFFFFFF"
            << "SS------" << 2 << "2 encoders failed (--max-failures 2)";
        QTest::newRow("max-failures 1, two at a time")
            << QStringList{"--max-failures", "1", "--max-parallel", "2"} << "FFFFFF"
            << "SS----" << 1 << "1 encoder failed (--max-failures 1)";
        QTest::newRow("max-failures 25% of eight")
            << QStringList{"--max-failures", "25%", "--max-parallel", "1"} << "FFFFFFFF"
            << "SS------" << 2 << "2 encoders failed (--max-failures 25%)";
        // Reached by the last encoder: nothing is left to stop.
        QTest::newRow("max-failures reached at the end")
            << QStringList{"--max-failures", "1", "--max-parallel", "1"} << "OF"
            << "SS" << 1 << "";
        QTest::newRow("max-failures not reached")
            << QStringList{"--max-failures", "3", "--max-parallel", "2"} << "OFOFO"
            << "SSSSS" << 3 << "";
    }
    void rollout() {
        QFETCH(QStringList, options);
        QFETCH(QString, encoders);
        QFETCH(QString, started);
        QFETCH(int, bound);
        QFETCH(QString, why);
        const QString listeners = QString::number(encoders.size());
        SimProcess ok, failing;
        QVERIFY(ok.start({"--gap-ms", "0", "--listeners", listeners}) &&
                failing.start({"--gap-ms", "0", "--error-at", "erase", "--listeners", listeners}));
        QStringList hosts;
        for (qsizetype i = 0; i < encoders.size(); ++i)
            hosts << (encoders[i] == 'O' ? ok.host(i) : failing.host(i));
        why.replace("%2", hosts.value(1));
        const QString report = dir.filePath("rollout-report.json");
        const QString failedHosts = dir.filePath("rollout-failed.txt");
        const FleetRunRecord run = RunFleetInProcess(
            options +
            QStringList{"--no-history", "--report", report, "--failed-hosts", failedHosts, image} +
            hosts);
        // The plan, decided before any connection, is what happens.
        QCOMPARE(run.plan.canary, hosts.mid(0, options.contains("--canary") ? 2 : 0));
        QCOMPARE(run.plan.failureLimit, bound);

        // Who started, and that nobody started once the rollout had stopped.
        QSet<QString> connected;
        QHash<QString, QJsonObject> ends;
        int failuresSoFar = 0;
        int canariesEnded = 0;
        bool stopped = false;
        for (const RunEvent& event : run.events) {
            const QString host = event.fields["host"].toString();
            const bool canary = run.plan.canary.contains(host);
            if (event.kind == RunEventKind::Connect) {
                QVERIFY2(!stopped, qPrintable("started after the stop: " + host));
                QVERIFY2(canary || run.plan.canary.isEmpty() || canariesEnded == 2,
                         qPrintable("started before the canaries ended: " + host));
                connected << host;
            } else if (event.kind == RunEventKind::End) {
                ends[host] = event.fields;
                failuresSoFar += event.fields["result"] == "failure" ? 1 : 0;
                canariesEnded += canary ? 1 : 0;
                const bool canaryFailed = canary && event.fields["result"] == "failure";
                stopped = stopped || canaryFailed || (bound > 0 && failuresSoFar >= bound);
            }
        }
        QStringList skipped;
        for (qsizetype i = 0; i < hosts.size(); ++i) {
            const QJsonObject end = ends.value(hosts[i]);
            QCOMPARE(connected.contains(hosts[i]), started[i] == 'S');
            if (connected.contains(hosts[i])) {
                QCOMPARE(end["result"].toString(), encoders[i] == 'O' ? "success" : "failure");
                continue;
            }
            skipped << hosts[i];
            QCOMPARE(end["result"].toString(), "skipped");
            QCOMPARE(end["cause"].toString(), "rollout-stopped");
            QVERIFY2(end["reason"].toString().contains(why), qPrintable(end["reason"].toString()));
        }
        const RunEvent summary = run.events.last();
        QCOMPARE(summary.kind, RunEventKind::Summary);
        QCOMPARE(summary.fields["skipped"].toArray().size(), skipped.size());
        QCOMPARE(summary.fields["rollout"]["stopped"].toBool(), !why.isEmpty());
        QVERIFY(summary.fields["rollout"]["why"].toString().contains(why));
        QCOMPARE(run.exitCode, encoders.contains('F') ? 1 : 0);

        const QJsonObject document = readJson(report);
        QCOMPARE(document["rollout"]["stopped"].toBool(), !why.isEmpty());
        QCOMPARE(document["rollout"]["why"], summary.fields["rollout"]["why"]);
        QStringList reported;
        for (const QJsonValue encoder : document["encoders"].toArray()) {
            if (encoder["result"] == "skipped")
                reported << encoder["host"].toString();
        }
        QCOMPARE(reported, skipped);
        // A rerun covers the failed encoders and those never started, in the order given.
        QStringList notDone;
        for (qsizetype i = 0; i < hosts.size(); ++i) {
            if (encoders[i] == 'F' || skipped.contains(hosts[i]))
                notDone << hosts[i];
        }
        QFile list(failedHosts);
        QVERIFY(list.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(list.readAll()).split('\n', Qt::SkipEmptyParts), notDone);
        QCOMPARE(summary.fields["notDone"].toArray().toVariantList(),
                 QJsonArray::fromStringList(notDone).toVariantList());
    }
    // A failure holds new starts until those in flight have ended, or the hold's bound has
    // passed: an encoder that falls silent holds the healthy ones back no longer than that.
    void failureHoldIsBounded() {
        SimProcess failing, silent, ok;
        QVERIFY(failing.start({"--gap-ms", "0", "--error-at", "erase"}) &&
                silent.start({"--gap-ms", "0", "--silent-at", "erase"}) &&
                ok.start({"--gap-ms", "0", "--listeners", "3"}));
        const QStringList healthy{ok.host(0), ok.host(1), ok.host(2)};
        const QList<RunEvent> events =
            RunFleetInProcess(QStringList{"--max-parallel", "2", "--max-failures", "50%",
                                          "--silence", "6", "--no-history", image, failing.host(),
                                          silent.host()} +
                                  healthy,
                              std::chrono::milliseconds(300))
                .events;
        QStringList order; // connects of the healthy, and the silent one's end
        for (const RunEvent& event : events) {
            const QString host = event.fields["host"].toString();
            if (event.kind == RunEventKind::Hold)
                QCOMPARE(event.fields,
                         QJsonObject({{"held", 3}, {"inFlight", 1}, {"boundSeconds", 0.3}}));
            if (event.kind == RunEventKind::Connect && healthy.contains(host))
                order << host;
            if (event.kind == RunEventKind::End && host == silent.host())
                order << "silent " + event.fields["cause"].toString();
            if (event.kind == RunEventKind::End && healthy.contains(host))
                QCOMPARE(event.fields["result"].toString(), "success");
        }
        QCOMPARE(order, healthy + QStringList{"silent no-answer"});
        QCOMPARE(std::count_if(events.begin(), events.end(),
                               [](const RunEvent& e) { return e.kind == RunEventKind::Hold; }),
                 1);
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
        // The encoder starts listening once the second attempt has failed.
        SimProcess late;
        bool lateStarted = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!lateStarted && outputSoFar().contains("attempt 2 of 5 failed"))
                lateStarted =
                    late.start({"--port", QString::number(port), "--once", "--gap-ms", "0"});
        });
        watch.start(10);
        const CliRun run = runCli(
            {"--plain", "--retries", "4", "--retry-delay", "0.4", "--report", report, image, host});
        QVERIFY(lateStarted);
        const QString& out = run.out;
        QCOMPARE(run.exitCode, 0);
        QVERIFY(inOrder(HostLines(out, host),
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
        SimProcess closing; // serves on after each connection
        QVERIFY(closing.start({"--report-line", "--gap-ms", "0", "--close-at", "header"}));
        const CliRun run =
            runCli({"--plain", "--retries", "3", "--retry-delay", "0", image, closing.host()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out.count("connecting to "), 1);
        QVERIFY(!run.out.contains("attempt 1 of"));
        QVERIFY(!closing.nextReport(5000).isEmpty());
        QVERIFY(closing.nextReport(500).isEmpty()); // no second connection
    }
    // --timeout bounds the encoder's whole time, every attempt and retry delay included (it
    // bounded one attempt: six attempts and five delays of 1 s took over 5 s).
    void timeoutBoundsEveryAttempt() {
        std::uint16_t port = 0;
        {
            ChannelListener probe;
            port = probe.port(); // refused once closed
        }
        const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
        QElapsedTimer clock;
        clock.start();
        const CliRun run = runCli(
            {"--json", "--timeout", "1.5", "--retries", "5", "--retry-delay", "1", image, host});
        const qint64 took = clock.elapsed();
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(took >= 1400 && took < 2500, qPrintable(QString::number(took)));
        bool allParsed = false;
        const QList<QJsonObject> events = jsonEvents(run.out, &allParsed);
        const auto end = std::find_if(events.begin(), events.end(), [](const QJsonObject& event) {
            return event["event"] == "end";
        });
        QVERIFY(end != events.end());
        QCOMPARE((*end)["cause"].toString(), "timed-out");
        QCOMPARE((*end)["reason"].toString(),
                 "not done within 1.5 s while waiting to connect again");
        QCOMPARE((*end)["attempts"].toInt(), 2);
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
        SimProcess ok, fail;
        QVERIFY(ok.start(OkSim) && fail.start(OkSim + QStringList{"--fail-at", "erase"}));
        const QString hosts = writeFile("hosts.txt", (ok.host() + "\n").toUtf8());
        const QString report = dir.filePath("report.json");
        const QString failed = dir.filePath("failed.txt");
        const CliRun run = runCli({"--plain", "--hosts-file", hosts, "--report", report,
                                   "--failed-hosts", failed, image, fail.host()});
        QCOMPARE(run.exitCode, 1);
        const QJsonObject document = readJson(report);
        QCOMPARE(document["schema"].toInt(), 1);
        QCOMPARE(document["exitCode"].toInt(), 1);
        QCOMPARE(document["interrupted"].toBool(true), false);
        QCOMPARE(document["options"].toArray().size(), 9);
        QCOMPARE(document["options"][0].toString(), "--plain");
        const QString runId = document["run"].toString();
        QVERIFY(!runId.isEmpty());
        QFile history(dir.filePath("state/fwupgrade/history.jsonl"));
        QVERIFY(history.open(QIODevice::ReadOnly));
        const QByteArray lastEnd = history.readAll().trimmed().split('\n').last();
        QCOMPARE(QJsonDocument::fromJson(lastEnd)["run"].toString(), runId);
        QCOMPARE(document["image"]["length"].toInt(), 100'000);
        QCOMPARE(document["image"]["fill"].toInt(-1), FillPercentage(100'000));
        QCOMPARE(document["image"]["checksum"].toString(),
                 ChecksumText(ImageSumChecksum(imageBytes)));
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
                                 "--report " +
                                 dir.filePath("report-rerun.json") + " --failed-hosts " +
                                 dir.filePath("failed-rerun.txt") + " --hosts-file " + failed +
                                 " " + image));
    }
    // A terminal's control sequence from the encoder (CSI as C1, and DEL) stays escaped in JSON
    // too, where a JSON library would write it raw.
    void controlCharactersInJson() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim + QStringList{"--error-at", "erase", "--error-text",
                                              QString::fromUtf8("x\u009b2Jy\x7f")}));
        const QByteArray out = runCli({"--json", image, sim.host()}).out.toUtf8();
        QVERIFY(out.contains("x\\u009b2Jy\\u007f"));
        QVERIFY(!out.contains("\xc2\x9b"));
        QVERIFY(!out.contains('\x7f'));
    }
    // Plain lines are for logs: a progress line when a stage passes a quarter it had not
    // passed, none at 100% (the stage's "done" line says so), counted per encoder and stage.
    void plainLineAtEachQuarter_data() {
        QTest::addColumn<QList<RunEvent>>("events");
        QTest::addColumn<QString>("lines");
        QList<RunEvent> everyPercent;
        for (int percent = 0; percent <= 100; ++percent)
            everyPercent << progressEvent(0, "sending", percent);
        QTest::newRow("every percent")
            << everyPercent << "e0: sending 25%\ne0: sending 50%\ne0: sending 75%\n";
        QTest::newRow("erase addresses in four steps")
            << QList<RunEvent>{progressEvent(0, "erasing", 0), progressEvent(0, "erasing", 26),
                               progressEvent(0, "erasing", 52), progressEvent(0, "erasing", 78),
                               progressEvent(0, "erasing", 100)}
            << "e0: erasing 26%\ne0: erasing 52%\ne0: erasing 78%\n";
        QTest::newRow("a jump past a quarter, then within it")
            << QList<RunEvent>{progressEvent(0, "transfer", 10), progressEvent(0, "transfer", 60),
                               progressEvent(0, "transfer", 70), progressEvent(0, "transfer", 80)}
            << "e0: transfer 60%\ne0: transfer 80%\n";
        QTest::newRow("straight to 100") << QList<RunEvent>{progressEvent(0, "programming", 0),
                                                            progressEvent(0, "programming", 100)}
                                         << "";
        QTest::newRow("back below a quarter, then past it again")
            << QList<RunEvent>{progressEvent(0, "sending", 30), progressEvent(0, "sending", 60),
                               progressEvent(0, "sending", 10), progressEvent(0, "sending", 30)}
            << "e0: sending 30%\ne0: sending 60%\ne0: sending 30%\n";
        QTest::newRow("stages and encoders apart")
            << QList<RunEvent>{progressEvent(0, "transfer", 50), progressEvent(0, "sending", 50),
                               progressEvent(1, "sending", 50), progressEvent(0, "sending", 55)}
            << "e0: transfer 50%\ne0: sending 50%\ne1: sending 50%\n";
    }
    void plainLineAtEachQuarter() {
        QFETCH(QList<RunEvent>, events);
        QFETCH(QString, lines);
        QCOMPARE(written(OutputMode::Plain, events), QStringList({lines, ""}));
        // JSON tells every percentage it is given.
        const QString json = written(OutputMode::Json, events).value(0);
        QCOMPARE(json.count("\"event\":\"progress\""), events.size());
    }

    // The rerun command's words come back whole from a POSIX shell, quoted only when needed.
    void rerunCommandQuoting_data() {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "firmware-2.1_a.bin"
                               << "firmware-2.1_a.bin";
        QTest::newRow("host and port") << "127.0.0.1:9999"
                                       << "127.0.0.1:9999";
        QTest::newRow("option characters") << "--x=a,b+c@d%e"
                                           << "--x=a,b+c@d%e";
        QTest::newRow("empty") << ""
                               << "''";
        QTest::newRow("space") << "my image.bin"
                               << "'my image.bin'";
        QTest::newRow("single quote") << "it's.bin"
                                      << R"('it'\''s.bin')";
        QTest::newRow("only quotes") << "''"
                                     << R"(''\'''\''')";
        QTest::newRow("double quote") << "a\"b"
                                      << "'a\"b'";
        QTest::newRow("dollar") << "$HOME"
                                << "'$HOME'";
        QTest::newRow("command") << "$(rm -rf x)`id`"
                                 << "'$(rm -rf x)`id`'";
        QTest::newRow("glob") << "*.bin"
                              << "'*.bin'";
        QTest::newRow("tilde") << "~/image.bin"
                               << "'~/image.bin'";
        QTest::newRow("backslash") << "a\\b"
                                   << "'a\\b'";
        QTest::newRow("semicolon") << "a;b"
                                   << "'a;b'";
        QTest::newRow("line break") << "a\nb"
                                    << "'a\nb'";
        QTest::newRow("not ASCII")
            << QString::fromUtf8("m\u00fcller.bin") << QString::fromUtf8("'m\u00fcller.bin'");
    }
    void rerunCommandQuoting() {
        QFETCH(QString, word);
        QFETCH(QString, quoted);
        QCOMPARE(ShellQuoted(word), quoted);
        const ProgramRun shell = RunProgram("/bin/bash", {"-c", "printf '%s|' " + quoted});
        QCOMPARE(shell.exitCode, 0);
        QCOMPARE(shell.out, word + "|");
    }

    // The command that retries the failed encoders: the options that shape an upgrade, in one
    // order whatever order they were given in, then the failed-hosts file or the failed hosts.
    void rerunCommand_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("command");
        QTest::newRow("hosts named")
            << QStringList{"image.bin", "a", "b:1999", "c"} << "fwupgrade-cli image.bin a c";
        QTest::newRow("options in their order")
            << QStringList{"--max-parallel",
                           "2",
                           "--allow-empty",
                           "--timeout",
                           "30",
                           "--json",
                           "--retry-delay",
                           "0.5",
                           "--retries",
                           "1",
                           "--connect-timeout",
                           "3",
                           "--silence",
                           "9",
                           "--canary",
                           "1",
                           "image.bin",
                           "a",
                           "b:1999",
                           "c"}
            << "fwupgrade-cli --json --silence 9 --timeout 30 --connect-timeout 3 --retries 1 "
               "--retry-delay 0.5 --max-parallel 2 --allow-empty image.bin a c";
        // The records get names of their own: the rerun must not replace this run's.
        QTest::newRow("what does not shape an upgrade is left out")
            << QStringList{"--report",  "r.json", "--hosts-file", "h.txt", "--plain",
                           "image.bin", "a",      "b:1999",       "c"}
            << "fwupgrade-cli --plain --report r-rerun.json image.bin a c";
        QTest::newRow("the failed-hosts file")
            << QStringList{"--failed-hosts", "failed hosts.txt", "it's.bin", "a", "b:1999", "c"}
            << "fwupgrade-cli --failed-hosts 'failed hosts-rerun.txt' --hosts-file 'failed "
               "hosts.txt' 'it'\\''s.bin'";
        QTest::newRow("records of a rerun")
            << QStringList{"--report",     "d.1/r-rerun.json", "--failed-hosts",
                           "d.1/f-rerun9", "image.bin",        "a"}
            << "fwupgrade-cli --report d.1/r-rerun2.json --failed-hosts d.1/f-rerun10 "
               "--hosts-file d.1/f-rerun9 image.bin";
    }
    void rerunCommand() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, command);
        const ParsedCommandLine parsed = ParseCommandLine(QStringList{CliName} + arguments);
        QVERIFY2(parsed.options, qPrintable(parsed.message));
        QStringList notDone;
        for (const EncoderAddress& encoder : parsed.options->encoders) {
            if (!encoder.label.startsWith('b'))
                notDone << encoder.label;
        }
        QCOMPARE(RerunCommand(*parsed.options, notDone), command);
    }

    // Every encoder is bounded unless told otherwise: 0 switches a bound off.
    void boundsByDefault_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<double>("silence"); // 0: none
        QTest::addColumn<double>("timeout");
        QTest::newRow("none given") << QStringList{} << 600.0 << 3600.0;
        QTest::newRow("switched off")
            << QStringList{"--silence", "0", "--timeout", "0"} << 0.0 << 0.0;
        QTest::newRow("given") << QStringList{"--silence", "5", "--timeout", "0.5"} << 5.0 << 0.5;
    }
    void boundsByDefault() {
        QFETCH(QStringList, options);
        QFETCH(double, silence);
        QFETCH(double, timeout);
        const ParsedCommandLine parsed =
            ParseCommandLine(QStringList{CliName} + options + QStringList{"i.bin", "a"});
        QVERIFY2(parsed.options, qPrintable(parsed.message));
        QCOMPARE(parsed.options->silenceSeconds.value_or(0), silence);
        QCOMPARE(parsed.options->timeoutSeconds.value_or(0), timeout);
    }

    // The completion offers --help's options, files after an option that takes a FILE and for
    // the image, host names after the image, and nothing for a number.
    void completion_data() {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("replies"); // %D: a folder with a.bin and b.json
        QTest::newRow("an option")
            << QStringList{"fwupgrade-cli", "--ho"} << QStringList{"--hosts-file"};
        QTest::newRow("options sharing a start")
            << QStringList{"fwupgrade-cli", "--re"}
            << QStringList{"--report", "--retries", "--retry-delay"};
        QTest::newRow("not the hidden one")
            << QStringList{"fwupgrade-cli", "--comp"} << QStringList{};
        QTest::newRow("the image")
            << QStringList{"fwupgrade-cli", "%D/a"} << QStringList{"%D/a.bin"};
        QTest::newRow("a FILE value")
            << QStringList{"fwupgrade-cli", "--report", "%D/b"} << QStringList{"%D/b.json"};
        QTest::newRow("a number") << QStringList{"fwupgrade-cli", "--retries", ""} << QStringList{};
        QTest::newRow("the image after an option's value")
            << QStringList{"fwupgrade-cli", "--max-parallel", "4", "--json", "%D/a"}
            << QStringList{"%D/a.bin"};
        QTest::newRow("a host after the image")
            << QStringList{"fwupgrade-cli", "--report", "x", "%D/a.bin", "localhos"}
            << QStringList{"localhost"};
    }
    void completion() {
        QFETCH(QStringList, words);
        QFETCH(QStringList, replies);
        QTemporaryDir folder;
        QVERIFY(QFile(folder.filePath("a.bin")).open(QIODevice::WriteOnly));
        QVERIFY(QFile(folder.filePath("b.json")).open(QIODevice::WriteOnly));
        words.replaceInStrings("%D", folder.path());
        replies.replaceInStrings("%D", folder.path());
        QCOMPARE(completions(BashCompletion(), words), replies);
    }
    void completionOffersEveryOptionOfTheHelp() {
        QStringList options;
        static const QRegularExpression option("^  (?:(-[a-z]), )?(--[a-z0-9-]+)",
                                               QRegularExpression::MultilineOption);
        for (auto match = option.globalMatch(HelpText()); match.hasNext();) {
            const QRegularExpressionMatch found = match.next();
            options << found.captured(2);
            if (!found.captured(1).isEmpty())
                options << found.captured(1);
        }
        options.sort();
        QVERIFY(options.size() >= 15);
        QCOMPARE(completions(BashCompletion(), {"fwupgrade-cli", "-"}), options);
        const CliRun run = runCli({"--completion", "bash"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, BashCompletion());
        QCOMPARE(runCli({"--completion", "zsh"}).exitCode, 2);
    }

    // Every --json event has exactly the fields --help gives it, besides the envelope; a
    // summary names its rerun only when something failed.
    void jsonFieldsAreThoseOfTheHelp() {
        SimProcess ok, fail;
        QVERIFY(ok.start(OkSim) && fail.start(OkSim + QStringList{"--fail-at", "erase"}));
        const CliRun run = runCli({"--json", "--retries", "1", "--retry-delay", "0", image,
                                   ok.host(), fail.host(), "127.0.0.1:1"});
        const CliRun check = runCli({"--json", "--check", image, ok.host()});
        const CliRun error = runCli({"--json", image, "127.0.0.1:0"});
        bool allParsed = false;
        const QList<QJsonObject> events = jsonEvents(run.out + check.out + error.out, &allParsed);
        QVERIFY(allParsed);
        const QHash<QString, QSet<QString>> help = helpEventFields();
        QCOMPARE(help.size(), 15);
        QSet<QString> seen;
        QSet<QString> runs; // one per run: the run, the check, the error
        for (const QJsonObject& event : events) {
            const QString name = event["event"].toString();
            seen << name;
            runs << event["run"].toString();
            const QStringList keys = event.keys();
            QSet<QString> fields(keys.begin(), keys.end());
            fields -= {"schema", "event", "run", "ms", "time"};
            if (name == "check") {
                QCOMPARE(fields, QSet<QString>({"image", "encoders", "upgrade", "canary",
                                                "failureLimit", "maxParallel"}));
                continue;
            }
            QVERIFY2(help.contains(name), qPrintable(name));
            QCOMPARE(fields, help[name]);
        }
        QCOMPARE(seen, QSet<QString>({"image", "connect", "connected", "log", "stage", "progress",
                                      "retry", "end", "fleet", "summary", "check", "error"}));
        QCOMPARE(runs.size(), 3);
        QVERIFY(!runs.contains(QString()));
        // Where the fleet stands, at the end too.
        const QJsonObject last = events.value(events.size() - 4);
        QCOMPARE(last["event"].toString(), "fleet");
        QCOMPARE(last["done"].toInt(), 3);
        QCOMPARE(last["failed"].toInt(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
