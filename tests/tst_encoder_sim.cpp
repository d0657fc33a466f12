// encoder-sim driven over loopback by a plain client: the replies byte for byte, the report,
// each fault option, bad options, and clients that misbehave.

#include "sim_test_client.h"
#include "test_process.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Replies = QList<QByteArray>;

namespace {

const QByteArray Start = "start receiving image file";
const QByteArray Erase = "erase flash program...";
const QByteArray Program = "flash program...";
const QByteArray Verify = "verify flash program...done";
const QByteArray Fail = "flash program fail";
const QByteArray Error = "*** ERROR ***";

// This client sends header and image at once; the pause the encoder needs is tried on its own
// (strictPause), everything else with any pause.
const QStringList AnyPause = {"--min-pause-ms", "0"};
// "abc" with steps of 2 bytes and erase steps of 0x200000 (flash addresses 0x30000000,
// 0x30200000, then the end 0x303D0000).
const QStringList SmallSteps = QStringList{"--gap-ms",     "0",        "--receive-step", "2",
                                           "--erase-step", "0x200000", "--program-step", "2"} +
                               AnyPause;
const Replies AbcSteps = {Start,       "2",     "3", Erase, "805306368", "807403520",
                          "809304064", Program, "2", "3",   Verify};

Replies firstOf(const Replies& replies, qsizetype count) {
    return replies.first(count);
}

// The replies of one whole run of a --once simulator: the client sends `upgrade` and reads
// until the simulator ends the connection.
struct OnceRun {
    SimReading reading;
    QJsonObject report;
    int exitCode = -1;
};

} // namespace

Q_DECLARE_METATYPE(SimEnd)

class TestEncoderSim : public QObject {
    Q_OBJECT

private:
    static OnceRun runOnce(const QStringList& arguments, const QByteArray& upgrade) {
        OnceRun run;
        SimProcess sim;
        if (!sim.start(QStringList{"--once", "--report-line"} + AnyPause + arguments))
            return run;
        SimClient client;
        if (client.connectTo(sim.port()) != 0 || !client.sendAll(upgrade))
            return run;
        run.reading = client.readUntilEnd();
        client.close();
        run.exitCode = sim.waitForExitCode();
        run.report = sim.nextReport();
        return run;
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("ENCODER_SIM").isEmpty(), "ENCODER_SIM is not set");
    }

    void normalUpgrade_data() {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Replies>("expected");

        QTest::newRow("abc") << QByteArray("abc") << SmallSteps << AbcSteps;
        QTest::newRow("4 KiB, steps that do not divide")
            << PatternImage(4096)
            << QStringList{"--gap-ms",     "0",        "--receive-step", "1500",
                           "--erase-step", "0x140000", "--program-step", "4096"}
            << Replies{Start,       "1500",      "3000",      "4096",      Erase,
                       "805306368", "806617088", "807927808", "809238528", "809304064",
                       Program,     "4096",      Verify};
        QTest::newRow("empty image")
            << QByteArray() << QStringList{"--gap-ms", "0", "--erase-step", "0x3D0000"}
            << Replies{Start, "0", Erase, "805306368", "809304064", Program, "0", Verify};
        QTest::newRow("default steps, one sector past the first")
            << PatternImage(0x10001) << QStringList{"--gap-ms", "0", "--erase-step", "0x3D0000"}
            << Replies{Start,       "65536", "65537", Erase,   "805306368",
                       "809304064", Program, "65536", "65537", Verify};
    }

    void normalUpgrade() {
        QFETCH(QByteArray, image);
        QFETCH(QStringList, arguments);
        QFETCH(Replies, expected);

        const OnceRun run = runOnce(arguments, simUpgrade(image));

        QCOMPARE(run.reading.bytes, simZeroEnded(expected));
        QCOMPARE(run.reading.end, SimEnd::Closed);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(simReportReplies(run.report), expected);
        QList<qint64> oneSendEach;
        for (const QByteArray& reply : expected)
            oneSendEach.append(reply.size() + 1);
        QCOMPARE(simReportSends(run.report), oneSendEach);
        QCOMPARE(run.report.value("replyCount").toInteger(), expected.size());
        QCOMPARE(run.report.value("reserved").toInteger(), qint64{0});
        QCOMPARE(run.report.value("length").toInteger(), image.size());
        QCOMPARE(run.report.value("checksum").toInteger(), qint64{ImageSumChecksum(image)});
        QCOMPARE(run.report.value("imageChecksum").toInteger(), qint64{ImageSumChecksum(image)});
        QCOMPARE(run.report.value("bytesReceived").toInteger(), image.size());
        QVERIFY(run.report.value("headerReceived").toBool());
        QVERIFY(run.report.value("checksumValid").toBool());
        QVERIFY(run.report.value("complete").toBool());
        QCOMPARE(run.report.value("end").toString(), QString("complete"));
    }

    void strictPause_data() {
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("complete");
        QTest::newRow("no pause") << 0 << QStringList{} << false;
        QTest::newRow("400 ms") << 400 << QStringList{} << false;
        QTest::newRow("1,000 ms") << 1000 << QStringList{} << true;
        QTest::newRow("400 ms where 300 ms will do")
            << 400 << QStringList{"--min-pause-ms", "300"} << true;
    }

    // The encoder needs 1,000 ms after the header before the image: it reports the pause it
    // saw, and an image that came sooner is a broken upgrade, whatever followed. --report
    // writes the same object as --report-line.
    void strictPause() {
        QFETCH(int, pauseMs);
        QFETCH(QStringList, arguments);
        QFETCH(bool, complete);
        QTemporaryDir dir;
        const QString reportPath = dir.filePath("report.json");
        SimProcess sim;
        QVERIFY(sim.start(
            QStringList{"--once", "--report-line", "--gap-ms", "0", "--report", reportPath} +
            arguments));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port()), 0);
        const QByteArray image = PatternImage(5000);
        const QByteArray upgrade = simUpgrade(image);
        if (pauseMs == 0) {
            QVERIFY(client.sendAll(upgrade));
        } else {
            QVERIFY(client.sendAll(upgrade.first(12)));
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            QVERIFY(client.sendAll(upgrade.sliced(12)));
        }
        const SimReading reading = client.readUntilEnd();
        QVERIFY(reading.bytes.endsWith(Verify + '\0'));
        client.close();
        const int exitCode = sim.waitForExitCode();
        const QJsonObject report = sim.nextReport();
        QVERIFY2(exitCode == (complete ? 0 : 1), qPrintable(report.value("end").toString()));

        const double measured = report.value("headerToImageMs").toDouble(-1);
        // Arrival times come from the system, which may take the header late under load.
        const double lowest = pauseMs * 0.75;
        const double highest = pauseMs == 0 ? 200 : 1e9;
        QVERIFY2(measured >= lowest && measured < highest, qPrintable(QString::number(measured)));
        QVERIFY(report.value("imageMs").toDouble(-1) >= 0);
        QVERIFY(report.value("checksumValid").toBool());
        QCOMPARE(report.value("complete").toBool(), complete);
        const QString end = report.value("end").toString();
        if (complete) {
            QCOMPARE(end, QString("complete"));
        } else {
            const QString broken = QString("broken upgrade: the image came %1 ms after the "
                                           "header, under 1000 ms")
                                       .arg(measured, 0, 'f', 1);
            QCOMPARE(end, broken);
        }
        QFile file(reportPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), report);
    }

    // A short pause is told even when the upgrade ends otherwise.
    void shortPauseAddsToAnotherEnd() {
        SimProcess sim;
        QVERIFY(sim.start({"--once", "--report-line", "--gap-ms", "0"}));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port()), 0);
        QVERIFY(client.sendAll(simHeader(0, 1000, 0) + QByteArray(10, 'x')));
        // An orderly close: closing with the simulator's reply unread would reset instead.
        client.finishSending();
        QCOMPARE(client.readUntilEnd().end, SimEnd::Closed);
        client.close();
        QCOMPARE(sim.waitForExitCode(), 1);
        const QString end = sim.nextReport().value("end").toString();
        QVERIFY2(end.startsWith("client closed during the image; broken upgrade: the image came "),
                 qPrintable(end));
    }

    void rejectsBadUpgrade_data() {
        QTest::addColumn<QByteArray>("upgrade");
        QTest::addColumn<Replies>("expected");
        QTest::addColumn<int>("received");

        const QByteArray abc = "abc";
        QTest::newRow("checksum off by one") << simHeader(0, 3, ImageSumChecksum(abc) + 1) + abc
                                             << Replies{Start, "3", Error, "checksum error"} << 3;
        QTest::newRow("checksum of another image")
            << simHeader(0, 3, ImageSumChecksum("abd")) + abc
            << Replies{Start, "3", Error, "checksum error"} << 3;
        QTest::newRow("reserved word not zero") << simHeader(1, 3, ImageSumChecksum(abc)) + abc
                                                << Replies{Error, "reserved word not zero"} << 0;
        QTest::newRow("longer than program memory")
            << simHeader(0, 0x3D0001, 0) << Replies{Error, "image too long"} << 0;
    }

    void rejectsBadUpgrade() {
        QFETCH(QByteArray, upgrade);
        QFETCH(Replies, expected);
        QFETCH(int, received);

        const OnceRun run = runOnce({"--gap-ms", "0"}, upgrade);

        QCOMPARE(run.reading.bytes, simZeroEnded(expected));
        QCOMPARE(run.reading.end, SimEnd::Closed);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(simReportReplies(run.report), expected);
        QVERIFY(!run.report.value("checksumValid").toBool());
        QCOMPARE(run.report.value("bytesReceived").toInteger(), received);
        QCOMPARE(run.report.value("imageChecksum").toInteger(),
                 qint64{ImageSumChecksum(QByteArray("abc").first(received))});
        QVERIFY(!run.report.value("complete").toBool());
    }

    void faults_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<Replies>("expected");
        QTest::addColumn<SimEnd>("end");

        const Replies toErase = firstOf(AbcSteps, 4);
        const Replies toProgram = firstOf(AbcSteps, 8);
        const Replies toVerify = firstOf(AbcSteps, 10);
        QTest::newRow("fail at header")
            << QStringList{"--fail-at", "header"} << Replies{Fail} << SimEnd::Closed;
        QTest::newRow("fail at erase")
            << QStringList{"--fail-at", "erase"} << toErase + Replies{Fail} << SimEnd::Closed;
        QTest::newRow("fail at verify")
            << QStringList{"--fail-at", "verify"} << toVerify + Replies{Fail} << SimEnd::Closed;
        QTest::newRow("error at header, default text")
            << QStringList{"--error-at", "header"} << Replies{Error, "simulated error"}
            << SimEnd::Closed;
        QTest::newRow("error at erase with a text")
            << QStringList{"--error-at", "erase", "--error-text", "erase timeout"}
            << toErase + Replies{Error, "erase timeout"} << SimEnd::Closed;
        QTest::newRow("close at receive")
            << QStringList{"--close-at", "receive"} << Replies{Start} << SimEnd::Closed;
        QTest::newRow("close at program")
            << QStringList{"--close-at", "program"} << toProgram << SimEnd::Closed;
        QTest::newRow("close after 0 replies")
            << QStringList{"--close-after-replies", "0"} << Replies{} << SimEnd::Closed;
        QTest::newRow("close after 5 replies")
            << QStringList{"--close-after-replies", "5"} << firstOf(AbcSteps, 5) << SimEnd::Closed;
        QTest::newRow("reset at header")
            << QStringList{"--reset-at", "header"} << Replies{} << SimEnd::Reset;
        QTest::newRow("reset at erase")
            << QStringList{"--reset-at", "erase"} << toErase << SimEnd::Reset;
        QTest::newRow("silent at header")
            << QStringList{"--silent-at", "header"} << Replies{} << SimEnd::Quiet;
        QTest::newRow("silent at verify")
            << QStringList{"--silent-at", "verify"} << toVerify << SimEnd::Quiet;
    }

    void faults() {
        QFETCH(QStringList, fault);
        QFETCH(Replies, expected);
        QFETCH(SimEnd, end);

        SimProcess sim;
        QVERIFY(sim.start(QStringList{"--once", "--report-line"} + SmallSteps + fault));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port()), 0);
        QVERIFY(client.sendAll(simUpgrade("abc")));
        const SimReading reading = client.readUntilEnd(end == SimEnd::Quiet ? 400 : 5000);
        QCOMPARE(reading.bytes, simZeroEnded(expected));
        QCOMPARE(reading.end, end);
        if (end == SimEnd::Quiet)
            QVERIFY2(sim.isRunning(), "a silent simulator keeps the connection open");
        client.close();

        QCOMPARE(sim.waitForExitCode(), 1);
        const QJsonObject report = sim.nextReport();
        QCOMPARE(simReportReplies(report), expected);
        QVERIFY(!report.value("complete").toBool());
    }

    void replyShapes_data() {
        QTest::addColumn<QStringList>("shape");
        QTest::addColumn<Replies>("expected");
        QTest::addColumn<QList<qint64>>("firstSends");

        QTest::newRow("merged: the first two replies in one send")
            << QStringList{"--merge-replies"} << AbcSteps << QList<qint64>{27 + 2, 2, 23};
        QTest::newRow("split: the first reply in two sends")
            << QStringList{"--split-replies"} << AbcSteps << QList<qint64>{13, 14, 2};
        const QByteArray longText = QByteArray("long reply ").repeated(28).first(300);
        QTest::newRow("a 300-byte reply first")
            << QStringList{"--long-reply", "300"} << Replies{longText} + AbcSteps
            << QList<qint64>{301, 27, 2};
        QByteArray garbage;
        for (int b = 1; b < 0x20; ++b)
            garbage.append(static_cast<char>(b));
        for (int b = 0x7F; b < 0x100; ++b)
            garbage.append(static_cast<char>(b));
        QTest::newRow("bytes that are not text first")
            << QStringList{"--garbage"} << Replies{garbage} + AbcSteps
            << QList<qint64>{garbage.size() + 1, 27, 2};
    }

    void replyShapes() {
        QFETCH(QStringList, shape);
        QFETCH(Replies, expected);
        QFETCH(QList<qint64>, firstSends);

        const OnceRun run = runOnce(SmallSteps + shape, simUpgrade("abc"));

        QCOMPARE(run.reading.bytes, simZeroEnded(expected));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(simReportReplies(run.report), expected);
        QCOMPARE(simReportSends(run.report).first(firstSends.size()), firstSends);
    }

    void repliesAfterTheImage_data() {
        QTest::addColumn<QStringList>("shape");
        QTest::addColumn<Replies>("expectedReceives");

        Replies merged = AbcSteps.sliced(2);
        merged.prepend(Start + "2");
        Replies split = AbcSteps.sliced(1);
        split.prepend("ng image file");
        split.prepend("start receivi");
        QTest::newRow("no zero: one reply per receive") << QStringList{"--no-zero"} << AbcSteps;
        QTest::newRow("no zero: merged") << QStringList{"--no-zero", "--merge-replies"} << merged;
        QTest::newRow("no zero: split") << QStringList{"--no-zero", "--split-replies"} << split;
        Replies zeroSplit{"start receivi", QByteArray("ng image file\0", 14)};
        for (const QByteArray& reply : AbcSteps.sliced(1))
            zeroSplit.append(reply + '\0');
        QTest::newRow("zero-ended, split")
            << QStringList{"--after-image", "--split-replies"} << zeroSplit;
    }

    // With --no-zero or --after-image nothing goes out before the image is whole, and replies
    // come far enough apart for a client that reads promptly to take each in a receive of its
    // own, even on a busy machine.
    void repliesAfterTheImage() {
        QFETCH(QStringList, shape);
        QFETCH(Replies, expectedReceives);

        SimProcess sim;
        QVERIFY(
            sim.start(QStringList{"--once"} + SmallSteps + shape + QStringList{"--gap-ms", "250"}));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port()), 0);
        const QByteArray upgrade = simUpgrade("abc");
        QVERIFY(client.sendAll(upgrade.first(14)));
        QVERIFY2(client.staysQuiet(300), "replied before the image was whole");
        QVERIFY(client.sendAll(upgrade.sliced(14)));
        const SimReading reading = client.readUntilEnd();

        QCOMPARE(reading.chunks, expectedReceives);
        QCOMPARE(reading.end, SimEnd::Closed);
        client.close();
        QCOMPARE(sim.waitForExitCode(), 0);
    }

    void stopsReading() {
        SimProcess sim;
        QVERIFY(sim.start({"--once", "--report-line", "--gap-ms", "0", "--receive-step", "600",
                           "--stop-reading-after", "1000"}));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port(), 64 * 1024), 0);
        const QByteArray upgrade = simUpgrade(PatternImage(0x3D0000));

        QVERIFY(client.sendUntilStalled(upgrade, 500) < upgrade.size());
        const SimReading reading = client.readUntilEnd(300);
        QCOMPARE(reading.bytes, simZeroEnded({Start, "600", "1000"}));
        QCOMPARE(reading.end, SimEnd::Quiet);
        QVERIFY(sim.isRunning());
        client.closeWithReset();

        QCOMPARE(sim.waitForExitCode(), 1);
        const QJsonObject report = sim.nextReport();
        QCOMPARE(report.value("bytesReceived").toInteger(), 1000);
        QCOMPARE(report.value("length").toInteger(), 0x3D0000);
        QVERIFY(!report.value("checksumValid").toBool());
    }

    void refusesConnections() {
        SimProcess sim;
        QVERIFY(sim.start({"--refuse"}));
        QVERIFY(sim.firstLine().startsWith("refusing on 127.0.0.1:"));
        SimClient client;
        QCOMPARE(client.connectTo(sim.port()), ECONNREFUSED);
        QVERIFY(sim.isRunning());
    }

    void badOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("named");

        QTest::newRow("unknown") << QStringList{"--bogus"} << QByteArray("bogus");
        QTest::newRow("port too big") << QStringList{"--port", "65536"} << QByteArray("--port");
        QTest::newRow("port not a number") << QStringList{"--port", "99x"} << QByteArray("--port");
        QTest::newRow("negative gap") << QStringList{"--gap-ms", "-1"} << QByteArray("--gap-ms");
        QTest::newRow("zero receive step")
            << QStringList{"--receive-step", "0"} << QByteArray("--receive-step");
        QTest::newRow("zero erase step")
            << QStringList{"--erase-step", "0x0"} << QByteArray("--erase-step");
        QTest::newRow("unknown stage") << QStringList{"--fail-at", "flash"} << QByteArray("stage");
        QTest::newRow("two stage faults")
            << QStringList{"--fail-at", "erase", "--close-at", "program"} << QByteArray("one of");
        QTest::newRow("error text alone")
            << QStringList{"--error-text", "x"} << QByteArray("--error-at");
        QTest::newRow("merged and split")
            << QStringList{"--merge-replies", "--split-replies"} << QByteArray("give one");
        QTest::newRow("empty long reply")
            << QStringList{"--long-reply", "0"} << QByteArray("--long-reply");
        QTest::newRow("negative stop")
            << QStringList{"--stop-reading-after", "-5"} << QByteArray("--stop-reading-after");
        QTest::newRow("host name")
            << QStringList{"--address", "localhost"} << QByteArray("--address");
        QTest::newRow("positional") << QStringList{"9999"} << QByteArray("9999");
        QTest::newRow("missing value") << QStringList{"--close-at"} << QByteArray("close-at");
    }

    void badOptions() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, named);

        QProcess sim;
        sim.start(qEnvironmentVariable("ENCODER_SIM"), arguments);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 2);
        QCOMPARE(sim.readAllStandardOutput(), QByteArray());
        const QByteArray error = sim.readAllStandardError();
        QVERIFY2(error.startsWith("encoder-sim: ") && error.contains(named), error.constData());
    }

    void survivesMisbehavingClient_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QString>("endReported");

        QTest::newRow("connects and closes")
            << QByteArray() << false << "client closed before the header";
        QTest::newRow("short header")
            << QByteArray("\0\0\0\0\3", 5) << false << "client closed in the header";
        QTest::newRow("closes mid-image") << simHeader(0, 1000, 0) + QByteArray(10, 'x') << false
                                          << "client closed during the image";
        QTest::newRow("text instead of a header")
            << QByteArray("GET / HTTP/1.0\r\n\r\n") << false << "reserved word not zero";
        QTest::newRow("resets while the replies go out")
            << simUpgrade("abc") << true << "client gone while replying";
    }

    // A fleet simulator out of file descriptors leaves the connections it cannot take waiting
    // without spinning a core, says so once, and takes them once descriptors come free.
    void fleetOutOfDescriptorsWaits() {
        QProcess sim;
        sim.setChildProcessModifier([] {
            const rlimit few{48, 48};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        sim.start(qEnvironmentVariable("ENCODER_SIM"),
                  QStringList{"--address", "127.0.0.1", "--port", "0", "--listeners", "2",
                              "--gap-ms", "0"} +
                      AnyPause);
        QVERIFY(sim.waitForStarted(5000));
        QDeadlineTimer deadline(10000);
        QList<std::uint16_t> ports;
        while (ports.size() < 2 && !deadline.hasExpired()) {
            if (!sim.canReadLine() && !sim.waitForReadyRead(500))
                continue;
            const QByteArray line = sim.readLine().trimmed();
            ports << static_cast<std::uint16_t>(line.mid(line.lastIndexOf(':') + 1).toUInt());
        }
        QCOMPARE(ports.size(), 2);

        std::vector<std::unique_ptr<SimClient>> waiting;
        for (int i = 0; i < 80; ++i) {
            waiting.push_back(std::make_unique<SimClient>());
            QCOMPARE(waiting.back()->connectTo(ports[i % 2]), 0);
        }
        QTest::qWait(300);
        const double cpuBefore = ProcessCpuMs(sim.processId());
        QTest::qWait(1000);
        const double cpuMs = ProcessCpuMs(sim.processId()) - cpuBefore;
        QVERIFY2(cpuMs >= 0 && cpuMs < 300, qPrintable(QString::number(cpuMs)));
        QCOMPARE(sim.readAllStandardError().count("out of file descriptors"), 1);

        // Once the clients have gone and the simulator has closed their connections, a new
        // one is served whole.
        waiting.clear();
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(sim.processId()));
        QVERIFY(QTest::qWaitFor(
            [&] { return descriptors.entryList(QDir::NoDotAndDotDot | QDir::System).size() < 24; },
            10000));
        SimClient late;
        QCOMPARE(late.connectTo(ports[0]), 0);
        QVERIFY(late.sendAll(simUpgrade("abc")));
        const SimReading reading = late.readUntilEnd(10000);
        QVERIFY(reading.bytes.endsWith(Verify + '\0'));
        sim.kill();
        sim.waitForFinished(5000);
    }

    // After each misbehaving client the simulator still serves a whole upgrade.
    void survivesMisbehavingClient() {
        QFETCH(QByteArray, sent);
        QFETCH(bool, reset);
        QFETCH(QString, endReported);

        SimProcess sim;
        QVERIFY(sim.start(QStringList{"--report-line", "--gap-ms", "1", "--erase-step", "0x2000"} +
                          AnyPause));
        {
            SimClient rude;
            QCOMPARE(rude.connectTo(sim.port()), 0);
            QVERIFY(rude.sendAll(sent));
            if (reset) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                rude.closeWithReset();
            } else {
                rude.finishSending();
                QVERIFY(rude.readUntilEnd().end != SimEnd::Quiet);
            }
        }
        const QJsonObject rudeReport = sim.nextReport();
        QCOMPARE(rudeReport.value("end").toString(), endReported);
        QVERIFY(!rudeReport.value("complete").toBool());

        SimClient polite;
        QCOMPARE(polite.connectTo(sim.port()), 0);
        QVERIFY(polite.sendAll(simUpgrade("abc")));
        const SimReading reading = polite.readUntilEnd();
        QVERIFY(reading.bytes.endsWith(Verify + '\0'));
        QCOMPARE(reading.end, SimEnd::Closed);
        polite.close();
        QVERIFY(sim.nextReport().value("complete").toBool());
        QVERIFY(sim.isRunning());
    }
};

QTEST_GUILESS_MAIN(TestEncoderSim)
#include "tst_encoder_sim.moc"
