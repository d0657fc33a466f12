// fwupgrade-cli run as a program against encoder-sim instances on loopback: what only a
// process shows (its exit status, signals, a terminal, pipes, argument bytes).

#include "FirmwareImage.h"
#include "channel_listener.h"
#include "cli_output.h"
#include "sim_process.h"
#include "test_image.h"
#include "test_process.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

const QString CliPath = QStringLiteral(FWUPGRADE_CLI);
const QStringList OkSim{"--report-line", "--once", "--gap-ms", "0"};

QByteArrayList bytes(const QStringList& arguments) {
    QByteArrayList list;
    for (const QString& argument : arguments)
        list << argument.toLocal8Bit();
    return list;
}

// What `fd` holds until its writer closes it or `waitMs` have passed (0: what is there now).
QByteArray readAll(int fd, int waitMs = 0) {
    QByteArray all;
    char buffer[65536];
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, int(deadline.remainingTime())) <= 0)
            return all;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return all;
        all.append(buffer, n);
    }
}

// fwupgrade-cli on a terminal of its own (rows by columns): its standard output and, when
// asked, its standard input.
class OnTerminal {
public:
    ~OnTerminal() {
        if (master >= 0)
            ::close(master);
    }
    // `piped`: standard output goes to a pipe (cli.out()), not to the terminal.
    bool start(const QByteArrayList& arguments, unsigned short rows, unsigned short columns,
               bool terminalInput = false, bool piped = false) {
        int slave = -1;
        winsize size{};
        size.ws_row = rows;
        size.ws_col = columns;
        if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0)
            return false;
        const bool started =
            cli.start(CliPath, arguments, piped ? -1 : slave, {}, terminalInput ? slave : -1);
        ::close(slave);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        return started;
    }
    // What it has shown so far.
    const QByteArray& shown() {
        shownBytes += readAll(master);
        return shownBytes;
    }
    bool type(const QByteArray& keys) {
        return ::write(master, keys.constData(), std::size_t(keys.size())) == keys.size();
    }
    // Its exit status once it has ended (-1 past the bound), the screen read to the end.
    int finish(int timeoutMs = 30000) {
        QElapsedTimer clock;
        clock.start();
        while (cli.running() && clock.elapsed() < timeoutMs) {
            shown();
            QTest::qWait(10);
        }
        shown();
        return cli.waitForExit(0);
    }
    // The screen's text without carriage returns.
    QString text() { return QString::fromLocal8Bit(shown()).remove(QLatin1Char('\r')); }

    TestProcess cli;

private:
    int master = -1;
    QByteArray shownBytes;
};

} // namespace

class TestCliProgram : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString image; // 100,000 bytes

    QString writeFile(const QString& name, const QByteArray& content) {
        return WriteImageFile(dir.filePath(name), content);
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(CliPath), qPrintable(CliPath));
        QVERIFY2(!qEnvironmentVariable("ENCODER_SIM").isEmpty(), "ENCODER_SIM is not set");
        QVERIFY(dir.isValid());
        // The runs' history stays in this test's folder.
        qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
        image = writeFile("image.bin", RandomImage(100'000, 7));
        QVERIFY(!image.isEmpty());
    }

    // The status a script sees, and which stream says what.
    void exitStatus_data() {
        QTest::addColumn<QStringList>("arguments"); // %I: the image, %H: the encoder
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out"); // how standard output begins
        QTest::addColumn<QString>("err"); // what standard error holds
        QTest::newRow("help") << QStringList{"--help"} << QStringList{} << 0 << "Usage: "
                              << "";
        QTest::newRow("version") << QStringList{"--version"} << QStringList{} << 0
                                 << "fwupgrade-cli "
                                 << "";
        QTest::newRow("bad command line")
            << QStringList{"--bogus", "%I", "127.0.0.1:1"} << QStringList{} << 2 << ""
            << "fwupgrade-cli: Unknown option 'bogus'.\nTry 'fwupgrade-cli --help' for more "
               "information.\n";
        QTest::newRow("bad command line, JSON")
            << QStringList{"--json", "%I"} << QStringList{} << 2 << "{\"event\":\"error\""
            << "fwupgrade-cli: at least one HOST (or --hosts-file) is missing after the IMAGE\n"
               "Try 'fwupgrade-cli --help' for more information.\n";
        QTest::newRow("success") << QStringList{"--plain", "%I", "%H"} << OkSim << 0
                                 << "Selected file : "
                                 << "";
        QTest::newRow("failure") << QStringList{"--plain", "%I", "%H"}
                                 << OkSim + QStringList{"--fail-at", "erase"} << 1
                                 << "Selected file : "
                                 << "0 of 1 encoder upgraded, 1 failed\n";
    }
    void exitStatus() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, simArguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        SimProcess sim;
        QVERIFY(simArguments.isEmpty() || sim.start(simArguments));
        arguments.replaceInStrings("%I", image).replaceInStrings("%H", sim.host());
        const ProgramRun run = RunProgram(CliPath, arguments);
        QCOMPARE(run.exitCode, status);
        QVERIFY2(out.isEmpty() ? run.out.isEmpty() : run.out.startsWith(out), qPrintable(run.out));
        if (status == 1)
            QVERIFY2(run.err.startsWith(err), qPrintable(run.err));
        else
            QCOMPARE(run.err, err);
    }

    // On a terminal: one line per encoder redrawn in place, cut to the terminal's width,
    // with the log lines above them and no percentage lines of their own.
    void terminalOutput() {
        SimProcess a, b;
        QVERIFY(a.start(OkSim) && b.start(OkSim));
        OnTerminal terminal;
        // --yes: the test's own standard input may be a terminal too.
        QVERIFY(terminal.start(
            {"--yes", image.toLocal8Bit(), a.host().toLatin1(), b.host().toLatin1()}, 24, 40));
        QCOMPARE(terminal.finish(), 0);
        const QString out = terminal.text();

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
    // An encoder that takes 100 kB/s: while the image goes out its line tells the rate and the
    // seconds the rest will take, as the encoder acknowledges it (its first few kilobytes at
    // once, into its buffer).
    void terminalShowsTheRate() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim + QStringList{"--read-rate", "100000"}));
        const QString larger = writeFile("larger.bin", RandomImage(300'000, 5));
        OnTerminal terminal;
        QVERIFY(terminal.start({"--yes", larger.toLocal8Bit(), sim.host().toLatin1()}, 24, 100));
        QCOMPARE(terminal.finish(), 0);
        const QString out = terminal.text();
        const QRegularExpression transfer(QRegularExpression::escape(sim.host()) +
                                          "  sending the image +\\d+%  (\\d+) kB/s, (\\d+) s left");
        QStringList rows;
        for (auto match = transfer.globalMatch(out); match.hasNext();) {
            const QRegularExpressionMatch row = match.next();
            QVERIFY2(row.captured(2).toInt() <= 4, qPrintable(row.captured()));
            rows << row.captured(1);
        }
        QVERIFY2(!rows.isEmpty(), qPrintable(out.left(3000)));
        QVERIFY2(rows.last().toInt() >= 70 && rows.last().toInt() <= 150,
                 qPrintable(rows.join(' ')));
    }
    // More encoders than the screen has rows: the failed one, last in the order given, stays
    // listed above "... and N more"; the overall line tells the time left meanwhile.
    void terminalKeepsTheFailedListed() {
        SimProcess fleet;
        QVERIFY(fleet.start({"--gap-ms", "2", "--erase-step", "0x1000", "--listeners", "7"}));
        std::uint16_t closed = 0;
        {
            ChannelListener probe;
            closed = probe.port(); // refused once closed
        }
        QByteArrayList arguments{"--yes", image.toLocal8Bit()};
        for (int i = 0; i < 7; ++i)
            arguments << fleet.host(i).toLatin1();
        const QByteArray refused = "127.0.0.1:" + QByteArray::number(closed);
        arguments << refused;
        OnTerminal terminal;
        // A third of 24 rows: six encoder rows, "... and 2 more encoders", the overall line.
        QVERIFY(terminal.start(arguments, 24, 100));
        QCOMPARE(terminal.finish(), 1);
        const QString out = terminal.text();
        const QString lastPanel =
            out.left(out.indexOf("7 of 8 encoders upgraded, 1 failed")).section("\x1b[2K", -8);
        QVERIFY2(lastPanel.contains(refused + "  FAILED: SERVER NOT READY (connection refused)"),
                 qPrintable(lastPanel));
        QVERIFY(lastPanel.contains("\x1b[2K... and 2 more encoders\n"));
        QVERIFY2(out.contains(QRegularExpression(", 1 failed, \\d in flight, about \\d+ s left\n")),
                 qPrintable(out.right(2000)));
    }
    // With standard input a terminal, nothing is sent before the operator has said y or yes
    // there, with the output piped too and after hosts typed to their end; --yes asks nothing.
    void questionOnATerminal_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("answer"); // empty: none awaited; %H: the encoder
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("piped"); // standard output a pipe
        QTest::newRow("y") << QStringList{} << QByteArray("y\n") << 0 << false;
        QTest::newRow("yes") << QStringList{} << QByteArray(" YES\n") << 0 << false;
        QTest::newRow("n") << QStringList{} << QByteArray("n\n") << 2 << false;
        QTest::newRow("another word") << QStringList{} << QByteArray("sure\n") << 2 << false;
        QTest::newRow("EOF") << QStringList{} << QByteArray("\x04") << 2 << false;
        QTest::newRow("--yes") << QStringList{"--yes"} << QByteArray() << 0 << false;
        QTest::newRow("-y") << QStringList{"-y"} << QByteArray() << 0 << false;
        QTest::newRow("output piped") << QStringList{} << QByteArray("y\n") << 0 << true;
        QTest::newRow("hosts typed")
            << QStringList{"--hosts-file", "-"} << QByteArray("%H\n\x04") << 0 << true;
    }
    void questionOnATerminal() {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        QFETCH(bool, piped);
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        OnTerminal terminal;
        const QStringList hosts = options.contains("-") ? QStringList{} : QStringList{sim.host()};
        QVERIFY(terminal.start(bytes(options + QStringList{image} + hosts), 24, 80, true, piped));
        const QByteArray question =
            "Upgrade 1 of 1 encoder with " + image.toLocal8Bit() + " (SHA-256 " +
            QCryptographicHash::hash(RandomImage(100'000, 7), QCryptographicHash::Sha256)
                .toHex()
                .left(16) +
            ")? [y/N] ";
        if (answer.startsWith("%H")) { // the hosts first, then the answer
            QVERIFY(terminal.type(answer.replace("%H", sim.host().toLocal8Bit())));
            answer = "y\n";
        }
        if (!answer.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(terminal.shown().contains(question), 10000);
            // Asked before any connection.
            QVERIFY(sim.nextReport(300).isEmpty());
            QVERIFY(!terminal.shown().contains("send data header"));
            QVERIFY(terminal.type(answer));
        }
        QCOMPARE(terminal.finish(), status);
        QCOMPARE(terminal.shown().contains("[y/N]"), !answer.isEmpty());
        if (status == 0) {
            QVERIFY(sim.nextReport()["complete"].toBool());
            QCOMPARE(terminal.cli.out().contains("send data header"), piped);
        } else {
            QVERIFY(terminal.cli.err().contains("not confirmed: nothing was sent to any encoder"));
            QVERIFY(!terminal.shown().contains("send data header"));
            QVERIFY(sim.nextReport(500).isEmpty());
        }
    }
    // Under a low open-files limit, 300 encoders at once would leave most without a socket
    // ("SERVER NOT READY (too many open files)"): fewer go at once instead, said once.
    void lowDescriptorLimit() {
        const QString prlimit = QStandardPaths::findExecutable("prlimit");
        if (prlimit.isEmpty())
            QSKIP("prlimit is not installed");
        constexpr int Encoders = 300;
        SimProcess fleet;
        QVERIFY(fleet.start({"--gap-ms", "0", "--listeners", QString::number(Encoders)}));
        const QString small = writeFile("small.bin", RandomImage(1000, 3));
        QStringList arguments{"--nofile=64:64", CliPath, "--json", small};
        for (int i = 0; i < Encoders; ++i)
            arguments << fleet.host(i);
        const ProgramRun run = RunProgram(prlimit, arguments, 90000);
        QCOMPARE(run.exitCode, 0);
        int notices = 0;
        int successes = 0;
        for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            if (event["event"] == "notice") {
                ++notices;
                QVERIFY2(event["text"].toString().contains(
                             QRegularExpression("^the open-files limit leaves room for \\d+ "
                                                "connections: upgrading at most \\d+ encoders at "
                                                "once instead of 300$")),
                         qPrintable(line));
            }
            successes += event["event"] == "end" && event["result"] == "success" ? 1 : 0;
        }
        QCOMPARE(notices, 1);
        QCOMPARE(successes, Encoders);
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
        SimProcess erasing;
        QVERIFY(
            erasing.start({"--report-line", "--once", "--gap-ms", "2", "--erase-step", "0x1000"}));
        ChannelListener full(0, 0);
        auto fillers = channelFillBacklog(full.port());
        QStringList hosts{erasing.host()};
        const QString hanging = QStringLiteral("127.0.0.1:%1").arg(full.port());
        if (!fillers.empty())
            hosts << hanging;

        TestProcess cli;
        const QString report = dir.filePath("interrupted-report.json");
        QVERIFY(
            cli.start(CliPath, bytes(QStringList{"--plain", "--report", report, image} + hosts)));
        const auto out = [&] { return QString::fromLocal8Bit(cli.out()); };
        QTRY_VERIFY_WITH_TIMEOUT(
            HostLines(out(), erasing.host()).contains("Erasing flash ... in progress"), 15000);
        QVERIFY(cli.running());
        ::kill(cli.pid(), signalNumber);
        QTRY_VERIFY_WITH_TIMEOUT(out().contains("is left to finish"), 5000);
        if (twice)
            ::kill(cli.pid(), signalNumber);
        QCOMPARE(cli.waitForExit(15000), 128 + signalNumber);
        QVERIFY(cli.exitedNormally());
        const QString err = QString::fromLocal8Bit(cli.err());
        QFile reportFile(report);
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(reportFile.readAll())["interrupted"].toBool(), true);

        QVERIFY2(out().contains("interrupted by " + name + ": no new connection"),
                 qPrintable(out()));
        QVERIFY(out().contains("!!! DO NOT SWITCH POWER OFF !!! " + erasing.host() +
                               " is erasing flash and is left to finish\n"));
        if (!fillers.empty())
            QVERIFY(out().contains("FAILED " + hanging + ": interrupted while connecting\n"));
        const QString warning = "!!! DO NOT SWITCH POWER OFF !!! " + erasing.host() +
                                " was erasing flash when the run was interrupted";
        if (twice) {
            QVERIFY(out().contains("interrupted again by " + name));
            QVERIFY(
                out().contains("FAILED " + erasing.host() + ": interrupted while erasing flash\n"));
            QVERIFY2(out().contains(warning + "\n") && err.contains(warning + "\n"),
                     qPrintable(err));
            QVERIFY(!erasing.nextReport(5000)["complete"].toBool(true));
        } else {
            QVERIFY(HostLines(out(), erasing.host()).contains("upgrade succeeded"));
            QVERIFY(!out().contains(warning));
            QVERIFY(erasing.nextReport(5000)["complete"].toBool());
        }
    }
    // `| head -1`: the reader goes at once; the upgrade goes on to its end all the same.
    void readerThatGoesAway() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        TestProcess cli;
        QVERIFY(
            cli.start(CliPath, {"--plain", image.toLocal8Bit(), sim.host().toLatin1()}, ends[1]));
        ::close(ends[1]);
        ::close(ends[0]);
        QCOMPARE(cli.waitForExit(20000), 0);
        QVERIFY(sim.nextReport()["complete"].toBool());
    }
    // A reader that never reads holds up nothing: the pause stays 1,000 ms, the upgrade ends.
    void readerThatDoesNotRead() {
        const QString big = writeFile("chatty.bin", RandomImage(MaxImageSize, 5));
        SimProcess sim;
        QVERIFY(sim.start({"--report-line", "--once", "--gap-ms", "0", "--receive-step", "4096",
                           "--erase-step", "0x1000", "--program-step", "4096", "--long-reply",
                           "50000"}));
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        TestProcess cli;
        QVERIFY(cli.start(CliPath, {"--json", big.toLocal8Bit(), sim.host().toLatin1()}, ends[1]));
        ::close(ends[1]);
        const QJsonObject report = sim.nextReport(30000);
        QVERIFY(report["complete"].toBool());
        QVERIFY2(report["headerToImageMs"].toDouble() < 1100,
                 qPrintable(QString::number(report["headerToImageMs"].toDouble())));
        const QByteArray out = readAll(ends[0], 30000); // reads at last; the run then ends
        ::close(ends[0]);
        QCOMPARE(cli.waitForExit(10000), 0);
        QVERIFY(out.size() > 65536); // more than a pipe holds: the writer did wait
        QVERIFY(out.contains("\"event\":\"summary\""));
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
        TestProcess cli;
        QVERIFY(cli.start(CliPath, {"--check", name, "127.0.0.1:999"}));
        QCOMPARE(cli.waitForExit(10000), 0);
        const QByteArray out = cli.out();
        QVERIFY2(out.contains("File checksum.............. 0xfffffeda"), out.constData());
        ::unlink(name.constData());
    }
    // An encoder that stops reading in the middle of the image, and one whose connect hangs,
    // hold up nobody: the third is upgraded meanwhile.
    void stuckEncodersHoldUpNobody() {
        const QString big = writeFile("big.bin", RandomImage(MaxImageSize, 11));
        SimProcess stuck, ok;
        QVERIFY(stuck.start({"--once", "--gap-ms", "0", "--stop-reading-after", "1000"}) &&
                ok.start(OkSim));
        ChannelListener full(0, 0);
        auto fillers = channelFillBacklog(full.port());
        QStringList hosts{stuck.host(), ok.host()};
        const QString hanging = QStringLiteral("127.0.0.1:%1").arg(full.port());
        if (!fillers.empty())
            hosts.prepend(hanging);

        TestProcess cli;
        QVERIFY(cli.start(CliPath, bytes(QStringList{big} + hosts)));
        const auto shown = [&] { return QString::fromLocal8Bit(cli.out()); };
        QTRY_VERIFY_WITH_TIMEOUT(HostLines(shown(), ok.host()).contains("upgrade succeeded"),
                                 20000);
        QVERIFY(cli.running());
        QVERIFY(!HostLines(shown(), stuck.host()).join('\n').contains("upgrade"));
        ::kill(cli.pid(), SIGINT);
        QCOMPARE(cli.waitForExit(5000), 130);
        const QString out = shown();
        QVERIFY(out.contains(QRegularExpression(
            "\nFAILED " + QRegularExpression::escape(stuck.host()) + ": interrupted while ")));
        if (!fillers.empty())
            QVERIFY(out.contains("FAILED " + hanging + ": interrupted while connecting\n"));
    }

    // On a full disk every record that cannot be written is named with the system's error,
    // the previous run's failed-hosts list is emptied (a rerun would take it for this one's) and
    // the status is 3. The disk is a small tmpfs, filled, in a mount namespace of the run's own.
    // Through a symbolic link, the link and its target stay: once space is freed, the next
    // run writes the list there.
    void fullDisk_data() {
        QTest::addColumn<QString>("links"); // the folder of the links to the records, if any
        QTest::newRow("files") << QString();
        QTest::newRow("through a symbolic link") << dir.filePath("links");
    }
    void fullDisk() {
        QFETCH(QString, links);
        if (::geteuid() != 0)
            QSKIP("a tmpfs is mounted in a private mount namespace, which needs root");
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        const QString full = dir.filePath("full");
        QVERIFY(QDir().mkpath(full) && (links.isEmpty() || QDir().mkpath(links)));
        const QString script = QStringLiteral(R"sh(mount -t tmpfs -o size=64k fwfull "$1" || exit 97
printf '127.0.0.1:2\n' > "$1/failed.txt"
list="$1/failed.txt"
test -n "$5" && ln -sf "$1/failed.txt" "$5/failed.txt" && list="$5/failed.txt"
head -c 1M /dev/zero > "$1/fill" 2>/dev/null
"$2" --plain --report "$1/report.json" --failed-hosts "$list" \
    --history "$1/history.jsonl" "$3" "$4" 127.0.0.1:1
status=$?
test -s "$1/failed.txt" && echo "a failed-hosts list is left: $(cat "$1/failed.txt")"
grep -o '"exitCode": [0-9]*' "$1/report.json"
if test -n "$5"; then
    test -L "$list" && test -f "$1/failed.txt" && echo "link and target kept"
    rm "$1/fill"
    "$2" --plain --no-history --failed-hosts "$list" "$3" 127.0.0.1:1 >/dev/null 2>&1
    echo "the next run: $? $(cat "$list")"
fi
exit $status)sh");
        const ProgramRun run =
            RunProgram("/usr/bin/unshare", {"--mount", "--propagation", "private", "sh", "-c",
                                            script, "sh", full, CliPath, image, sim.host(), links});
        if (run.exitCode == 97 || run.err.startsWith("unshare:"))
            QSKIP(qPrintable("no full tmpfs could be made: " + run.err.trimmed()));
        QCOMPARE(run.exitCode, 3);
        QVERIFY(run.out.contains("1 of 2 encoders upgraded, 1 failed"));
        QVERIFY2(!run.out.contains("a failed-hosts list is left"), qPrintable(run.out));
        // The stale list's space, once freed, holds the report, which says the list is lost.
        QVERIFY2(run.out.contains("\"exitCode\": 3\n"), qPrintable(run.out));
        if (!links.isEmpty())
            QVERIFY2(run.out.contains("link and target kept\nthe next run: 1 127.0.0.1:1\n"),
                     qPrintable(run.out));
        for (const QString& record :
             {full + "/history.jsonl", (links.isEmpty() ? full : links) + "/failed.txt"})
            QVERIFY2(run.err.contains("fwupgrade-cli: cannot write the " +
                                      QString(record.endsWith("txt") ? "failed hosts" : "history") +
                                      " '" + record + "': No space left on device\n"),
                     qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestCliProgram)
#include "tst_cli_program.moc"
