// What fwupgrade-cli leaves behind, run in this process: record paths refused before any
// connection, the image's SHA-256 and its pinning, the history of encoder ends (whole lines
// under concurrent appends), the reruns that skip what the history has upgraded, and the
// lock that keeps two runs from one encoder.

#include "EncoderLock.h"
#include "RunRecords.h"
#include "cli_in_process.h"
#include "sim_process.h"
#include "test_image.h"
#include "test_process.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <array>
#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QStringList OkSim{"--report-line", "--once", "--gap-ms", "0"};

QJsonObject readJson(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

// Every line of a JSON-lines file; an empty object for a line that is no JSON object.
QList<QJsonObject> jsonLines(const QString& path) {
    QList<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    }
    return lines;
}

// `contacted` 0 or 1 when the entry says it (no older history does).
QJsonObject historyEntry(const QString& address, int port, const QString& result,
                         const QString& cause, const QString& sha256, int contacted = -1) {
    QJsonObject entry{{"address", address},
                      {"port", port},
                      {"result", result},
                      {"cause", cause},
                      {"sha256", sha256}};
    if (contacted >= 0)
        entry.insert("contacted", contacted == 1);
    return entry;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

} // namespace

class TestCliRecords : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString image;
    QByteArray imageBytes;
    QString sha256;
    const QString longName = QString(255, 'x'); // leaves no room for a temporary name

    QString path(const QString& name) const { return dir.filePath(name); }
    void writeLines(const QString& name, const QList<QJsonObject>& lines) {
        QByteArray bytes;
        for (const QJsonObject& line : lines)
            bytes += QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
        QVERIFY(!WriteImageFile(path(name), bytes).isEmpty());
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("ENCODER_SIM").isEmpty(), "ENCODER_SIM is not set");
        QVERIFY(dir.isValid());
        qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", path("run").toLocal8Bit());
        imageBytes = RandomImage(20'000, 3);
        image = WriteImageFile(path("image.bin"), imageBytes);
        QVERIFY(!image.isEmpty());
        sha256 = QCryptographicHash::hash(imageBytes, QCryptographicHash::Sha256).toHex();
        QVERIFY(QDir().mkpath(path("folder")));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        QVERIFY(QFile::link("/dev/null", path("null-link")));
        QVERIFY(QFile::link(image, path("image-link")));
        QCOMPARE(::link(QFile::encodeName(image).constData(),
                        QFile::encodeName(path("image-hard")).constData()),
                 0);
        for (const QString& name :
             {QStringLiteral("hosts.txt"), QStringLiteral("more-hosts.txt"), longName})
            QVERIFY(!WriteImageFile(path(name), "127.0.0.1:1\n").isEmpty());
    }

    // A record that is no regular file, whose folder is missing or refuses its temporary file
    // (a name too long, a pseudo-file), that has no name, or that is the same file as the
    // image, a hosts file or another record, stops the run before any connection; --check
    // says the same. No input or existing file is touched; /dev/null stays the device it is.
    void refusedRecordPath_data() {
        QTest::addColumn<QStringList>("arguments"); // %D: this test's folder, %S: the state's
        QTest::addColumn<QString>("fault");
        const QString same = QStringLiteral(" are the same file");
        const QList<std::tuple<const char*, QStringList, QString>> rows{
            {"device", {"--report", "/dev/null"}, "--report '/dev/null': not a regular file"},
            {"link to a device",
             {"--failed-hosts", "%D/null-link"},
             "--failed-hosts '%D/null-link': not a regular file"},
            {"folder",
             {"--failed-hosts", "%D/folder"},
             "--failed-hosts '%D/folder': it is a folder"},
            {"fifo", {"--history", "%D/fifo"}, "--history '%D/fifo': not a regular file"},
            {"missing folder",
             {"--report", "%D/gone/report.json"},
             "--report '%D/gone/report.json': the folder '%D/gone' does not exist"},
            {"missing history folder",
             {"--history", "%D/gone/history.jsonl"},
             "--history '%D/gone/history.jsonl': the folder '%D/gone' does not exist"},
            {"name too long",
             {"--failed-hosts", "%D/" + longName},
             "--failed-hosts '%D/" + longName +
                 "': no file can be made in its folder '%D': File name too long"},
            {"pseudo-file",
             {"--report", "/sys/kernel/uevent_seqnum"},
             "--report '/sys/kernel/uevent_seqnum': "},
            {"report is the image",
             {"--report", "%D/image.bin"},
             "--report '%D/image.bin' and the image '%D/image.bin'" + same},
            {"failed hosts link to the image",
             {"--failed-hosts", "%D/image-link"},
             "--failed-hosts '%D/image-link' and the image '%D/image.bin'" + same},
            {"history hard link of the image",
             {"--history", "%D/image-hard"},
             "--history '%D/image-hard' and the image '%D/image.bin'" + same},
            {"report is the hosts file",
             {"--report", "%D/hosts.txt", "--hosts-file", "%D/hosts.txt"},
             "--report '%D/hosts.txt' and --hosts-file '%D/hosts.txt'" + same},
            {"failed hosts are the second hosts file",
             {"--failed-hosts", "%D/hosts.txt", "--hosts-file", "%D/more-hosts.txt", "--hosts-file",
              "%D/hosts.txt"},
             "--failed-hosts '%D/hosts.txt' and --hosts-file '%D/hosts.txt'" + same},
            {"history is the hosts file",
             {"--history", "%D/hosts.txt", "--hosts-file", "%D/hosts.txt"},
             "--history '%D/hosts.txt' and --hosts-file '%D/hosts.txt'" + same},
            {"history is the report",
             {"--history", "%D/h.jsonl", "--report", "%D/h.jsonl"},
             "--history '%D/h.jsonl' and --report '%D/h.jsonl'" + same},
            {"failed hosts are the report, spelled otherwise",
             {"--report", "%D/new.json", "--failed-hosts", "%D/folder/../new.json"},
             "--failed-hosts '%D/folder/../new.json' and --report '%D/new.json'" + same},
            {"history is the failed hosts",
             {"--failed-hosts", "%D/f.txt", "--history", "%D/./f.txt"},
             "--history '%D/./f.txt' and --failed-hosts '%D/f.txt'" + same},
            {"report is the default history",
             {"--report", "%S/fwupgrade/history.jsonl"},
             "the history '%S/fwupgrade/history.jsonl' and --report '%S/fwupgrade/history.jsonl'" +
                 same},
            {"report without a name", {"--report", ""}, "--report '': no file name given"},
            {"failed hosts without a name",
             {"--failed-hosts", ""},
             "--failed-hosts '': no file name given"},
            {"history without a name", {"--history", ""}, "--history '': no file name given"},
        };
        for (const auto& [name, arguments, fault] : rows) {
            for (const bool check : {false, true})
                QTest::addRow("%s%s", name, check ? ", --check" : "") << arguments << fault;
        }
    }
    void refusedRecordPath() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, fault);
        const auto expand = [&](QString text) {
            return text.replace("%D", dir.path()).replace("%S", path("state"));
        };
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        for (QString& argument : arguments)
            argument = expand(argument);
        arguments << "--plain"
                  << "--timeout"
                  << "2" << image << QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort());
        if (QByteArray(QTest::currentDataTag()).endsWith("--check"))
            arguments.prepend("--check");
        const CliRun run = RunCliInProcess(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.startsWith("fwupgrade-cli: " + expand(fault)), qPrintable(run.err));
        QVERIFY(!encoder.waitForNewConnection(200));
        struct stat info {};
        QCOMPARE(::stat("/dev/null", &info), 0);
        QVERIFY(S_ISCHR(info.st_mode));
        QCOMPARE(fileBytes(image), imageBytes);
        for (const QString& name : {QStringLiteral("hosts.txt"), longName})
            QCOMPARE(fileBytes(path(name)), QByteArray("127.0.0.1:1\n"));
    }

    // Plain, --check and JSON show the SHA-256; the report has it with the program's version
    // and the image's absolute path; --expect-sha256 pins it in any case.
    void imageIdentity() {
        const CliRun check = RunCliInProcess({"--check", image, "127.0.0.1:1"});
        QVERIFY2(check.out.contains("\nFile SHA-256 .............. " + sha256 + "\n"),
                 qPrintable(check.out));

        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        const QString report = path("identity-report.json");
        QDir::setCurrent(dir.path());
        // Upper case, with the newline of "$(cat file)".
        const CliRun run =
            RunCliInProcess({"--json", "--no-history", "--expect-sha256", sha256.toUpper() + "\n",
                             "--report", "identity-report.json", "image.bin", sim.host()});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject imageEvent =
            QJsonDocument::fromJson(run.out.section('\n', 0, 0).toUtf8()).object();
        QCOMPARE(imageEvent["event"].toString(), "image");
        QCOMPARE(imageEvent["sha256"].toString(), sha256);
        const QJsonObject document = readJson(report);
        QCOMPARE(document["version"].toString(), QStringLiteral(FWUPGRADE_VERSION));
        QCOMPARE(document["image"]["sha256"].toString(), sha256);
        QCOMPARE(document["image"]["path"].toString(), image);
    }
    void otherImageRefused_data() {
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("message");
        QTest::newRow("other image")
            << QString(64, '0') << "has SHA-256 %S, not the expected " + QString(64, '0');
        QTest::newRow("not hex") << QString(64, 'g') << "bad --expect-sha256";
        QTest::newRow("too short") << "abc"
                                   << "bad --expect-sha256 'abc'";
    }
    void otherImageRefused() {
        QFETCH(QString, expected);
        QFETCH(QString, message);
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        const CliRun run =
            RunCliInProcess({"--plain", "--expect-sha256", expected, image,
                             QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort())});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message.replace("%S", sha256)), qPrintable(run.err));
        QVERIFY(!encoder.waitForNewConnection(200));
    }

    // Each end is one line in the default history (its folders made); a rerun with
    // --skip-done contacts nobody the history has upgraded with this image (the simulator
    // served once, so a connect would be refused), and it counts as done.
    void historyAndSkipDone() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        const QString history = path("state/fwupgrade/history.jsonl");
        const QString refused = QStringLiteral("127.0.0.1:1");
        const CliRun first = RunCliInProcess({"--plain", image, sim.host(), refused});
        QCOMPARE(first.exitCode, 1);
        const QList<QJsonObject> lines = jsonLines(history);
        QCOMPARE(lines.size(), 2);
        const QJsonObject& failure = lines[0]; // the refused one ends first
        QCOMPARE(failure["host"].toString(), refused);
        QCOMPARE(failure["result"].toString(), "failure");
        QCOMPARE(failure["cause"].toString(), "not-reachable");
        QCOMPARE(failure["contacted"].toBool(true), false);
        const QJsonObject& success = lines[1];
        QCOMPARE(success["host"].toString(), sim.host());
        QCOMPARE(success["address"].toString(), "127.0.0.1");
        QCOMPARE(success["port"].toInt(), sim.port());
        QCOMPARE(success["image"].toString(), image);
        QCOMPARE(success["sha256"].toString(), sha256);
        QCOMPARE(success["length"].toInt(), 20'000);
        QCOMPARE(success["result"].toString(), "success");
        QCOMPARE(success["cause"].toString(), "success");
        QCOMPARE(success["contacted"].toBool(), true);
        QCOMPARE(success["version"].toString(), QStringLiteral(FWUPGRADE_VERSION));
        QVERIFY(QDateTime::fromString(success["time"].toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(sim.waitForExitCode(), 0);

        const QString failed = path("skip-failed.txt");
        const QString report = path("skip-report.json");
        const CliRun rerun =
            RunCliInProcess({"--plain", "--skip-done", "--failed-hosts", failed, "--report", report,
                             image, "127.0.0.1:" + sim.portText()});
        QCOMPARE(rerun.exitCode, 0);
        QVERIFY2(rerun.out.contains("127.0.0.1:" + sim.portText() +
                                    ": skipped (already-upgraded): the history has it upgraded "
                                    "with this image\n"),
                 qPrintable(rerun.out));
        QVERIFY2(rerun.out.contains("0 of 1 encoder upgraded, 1 already upgraded (skipped), 0 "
                                    "failed\n"),
                 qPrintable(rerun.out));
        const QJsonObject skipped = readJson(report)["encoders"][0].toObject();
        QCOMPARE(skipped["result"].toString(), "skipped");
        QCOMPARE(skipped["cause"].toString(), "already-upgraded");
        QCOMPARE(skipped["attempts"].toInt(-1), 0);
        QFile list(failed);
        QVERIFY(list.open(QIODevice::ReadOnly));
        QCOMPARE(list.readAll(), QByteArray());
        QCOMPARE(jsonLines(history).last()["cause"].toString(), "already-upgraded");
    }
    // An encoder skipped as already upgraded takes no place among those in flight: with one
    // at a time, the next is upgraded after it (the run used to wait for ever).
    void skipDoneOneAtATime() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        writeLines("one-at-a-time.jsonl",
                   {historyEntry("127.0.0.1", 1, "success", "success", sha256)});
        QTimer hung; // ends a run that would wait for ever as an interrupted one
        hung.setSingleShot(true);
        QObject::connect(&hung, &QTimer::timeout, [] { ::raise(SIGTERM); });
        hung.start(20000);
        const CliRun run =
            RunCliInProcess({"--plain", "--skip-done", "--max-parallel", "1", "--history",
                             path("one-at-a-time.jsonl"), image, "127.0.0.1:1", sim.host()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("1 of 2 encoders upgraded, 1 already upgraded (skipped), 0 "
                                  "failed\n"),
                 qPrintable(run.out));
    }
    // The canary is the first encoder to be contacted, not one skipped as already upgraded:
    // once it fails, the rest are not started, unless all of them are upgraded already (no
    // rollout is told as stopped then). --check counts only the encoders it would contact.
    void canaryAmongThoseContacted_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("donePort"); // the history has 127.0.0.1:PORT upgraded
        QTest::addColumn<int>("busyPort"); // another run holds 127.0.0.1:PORT; 0: none
        QTest::addColumn<QList<int>>("ports");
        QTest::addColumn<QStringList>("causes"); // each encoder's end; or --check's lines
        QTest::addColumn<bool>("stopped");
        QTest::newRow("the rest upgraded")
            << QStringList{"--json"} << 2 << 0 << QList<int>{1, 2}
            << QStringList{"not-reachable", "already-upgraded"} << false;
        QTest::newRow("an upgraded one first")
            << QStringList{"--json"} << 1 << 0 << QList<int>{1, 2, 3}
            << QStringList{"already-upgraded", "not-reachable", "rollout-stopped"} << true;
        QTest::newRow("a busy one first")
            << QStringList{"--json"} << 0 << 1 << QList<int>{1, 2, 3}
            << QStringList{"busy", "not-reachable", "rollout-stopped"} << true;
        QTest::newRow("check") << QStringList{"--check", "--max-failures", "50%"} << 1 << 0
                               << QList<int>{1, 2, 3}
                               << QStringList{"would upgrade 2 encoders:",
                                              "  127.0.0.1:1 at 127.0.0.1:1 (already upgraded: "
                                              "skipped)",
                                              "  127.0.0.1:2 at 127.0.0.1:2",
                                              "  127.0.0.1:3 at 127.0.0.1:3",
                                              "canary: 127.0.0.1:2 (the rest start only once it "
                                              "has succeeded)",
                                              "stop after 2 failures"}
                               << false;
    }
    void canaryAmongThoseContacted() {
        QFETCH(QStringList, options);
        QFETCH(int, donePort);
        QFETCH(int, busyPort);
        QFETCH(QList<int>, ports);
        QFETCH(QStringList, causes);
        QFETCH(bool, stopped);
        writeLines("canary-done.jsonl",
                   {historyEntry("127.0.0.1", donePort, "success", "success", sha256)});
        QStringList hosts;
        for (const int port : ports)
            hosts << QStringLiteral("127.0.0.1:%1").arg(port);
        EncoderLock held;
        QString why;
        QVERIFY(!LockFolderFault(path("run/fwupgrade"), true));
        QVERIFY(busyPort == 0 || held.take(path("run/fwupgrade"), "127.0.0.1", quint16(busyPort),
                                           why) == EncoderLock::Taken::Yes);
        const CliRun run = RunCliInProcess(options +
                                           QStringList{"--skip-done", "--canary", "1", "--history",
                                                       path("canary-done.jsonl"), image} +
                                           hosts);
        if (options.contains("--check")) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(run.out.contains(causes.join('\n') + '\n'), qPrintable(run.out));
            return;
        }
        QCOMPARE(run.exitCode, 1);
        QStringList ends(hosts.size());
        QJsonObject summary;
        for (const QString& line : run.out.trimmed().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            if (event["event"] == "end")
                ends[hosts.indexOf(event["host"].toString())] = event["cause"].toString();
            summary = event;
        }
        QCOMPARE(ends, causes);
        QCOMPARE(summary["event"].toString(), "summary");
        QCOMPARE(summary["rollout"].toObject()["stopped"].toBool(), stopped);
    }
    // The latest entry of an address and port decides, a skip as already upgraded included;
    // lines that are no JSON, and entries of an encoder not contacted, are passed over.
    void doneWithImage() {
        const QString other(64, 'f');
        writeLines("history.jsonl",
                   {historyEntry("127.0.0.1", 999, "success", "success", sha256),
                    historyEntry("127.0.0.1", 999, "failure", "program-fail", sha256),
                    historyEntry("127.0.0.2", 999, "failure", "program-fail", sha256),
                    historyEntry("127.0.0.2", 999, "success", "success", sha256),
                    historyEntry("127.0.0.3", 999, "success", "success", other),
                    historyEntry("127.0.0.4", 999, "skipped", "already-upgraded", sha256),
                    historyEntry("127.0.0.5", 999, "skipped", "rollout-stopped", sha256),
                    historyEntry("127.0.0.2", 1000, "failure", "not-reachable", sha256),
                    historyEntry("127.0.0.6", 999, "success", "success", sha256, 1),
                    historyEntry("127.0.0.6", 999, "skipped", "rollout-stopped", sha256, 0),
                    historyEntry("127.0.0.7", 999, "success", "success", sha256, 1),
                    historyEntry("127.0.0.7", 999, "failure", "interrupted", sha256, 0),
                    historyEntry("127.0.0.7", 999, "skipped", "busy", sha256, 0)});
        QFile history(path("history.jsonl"));
        QVERIFY(history.open(QIODevice::Append));
        history.write("{\"address\": \"127.0.0.2\", \"port\": 999, \"resu\n");
        history.close();
        const QHash<QString, bool> done = DoneWithImage(history.fileName(), sha256);
        QCOMPARE(done.value(EncoderKey("127.0.0.1", 999), true), false);
        QCOMPARE(done.value(EncoderKey("127.0.0.2", 999)), true);
        QCOMPARE(done.value(EncoderKey("127.0.0.2", 1000), true), false);
        QCOMPARE(done.value(EncoderKey("127.0.0.3", 999), true), false);
        QCOMPARE(done.value(EncoderKey("127.0.0.4", 999)), true);
        QCOMPARE(done.value(EncoderKey("127.0.0.5", 999)), false); // no verdict: not done
        QCOMPARE(done.value(EncoderKey("127.0.0.6", 999)), true);
        QCOMPARE(done.value(EncoderKey("127.0.0.7", 999)), true);
        QVERIFY(DoneWithImage(path("no-such-history"), sha256).isEmpty());
    }
    // A history whose last line has no newline (an editor, a crash) gets its next entry on a
    // line of its own: both stay readable, and --skip-done still finds the first.
    void historyWithoutLastNewline() {
        const QString history = path("no-newline.jsonl");
        const QJsonObject done = historyEntry("127.0.0.1", 1, "success", "success", sha256);
        QVERIFY(
            !WriteImageFile(history, QJsonDocument(done).toJson(QJsonDocument::Compact)).isEmpty());
        for (int run = 0; run < 2; ++run)
            QCOMPARE(RunCliInProcess(
                         {"--plain", "--skip-done", "--history", history, image, "127.0.0.1:1"})
                         .exitCode,
                     0);
        const QList<QJsonObject> lines = jsonLines(history);
        QCOMPARE(lines.size(), 3);
        for (const QJsonObject& line : lines)
            QCOMPARE(line["address"].toString(), "127.0.0.1");
    }
    // A record that cannot be written once the encoders have ended: the process, the summary
    // (the last event) and the report say 3, an error event names the record, and the rerun
    // names the hosts rather than the list that was not written.
    void recordLostUnderJson() {
        SimProcess sim;
        QVERIFY(sim.start(OkSim));
        const QString folder = path("vanishing");
        QVERIFY(QDir().mkpath(folder));
        QString live;
        bool removed = false;
        QTimer watch; // the folder goes once the run is under way
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!removed && live.contains("\"event\":\"image\""))
                removed = QDir().rmdir(folder);
        });
        watch.start(5);
        const CliRun run = RunCliInProcess({"--json", "--no-history", "--report", path("lost.json"),
                                            "--failed-hosts", folder + "/failed.txt", image,
                                            sim.host(), "127.0.0.1:1"},
                                           &live);
        QVERIFY2(removed, "the record's folder could not be removed while the run went on");
        QCOMPARE(run.exitCode, 3);
        QList<QJsonObject> events;
        for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts))
            events << QJsonDocument::fromJson(line.toUtf8()).object();
        const QJsonObject error = events.value(events.size() - 2);
        QCOMPARE(error["event"].toString(), "error");
        QCOMPARE(error["exitCode"].toInt(), 3);
        QVERIFY2(error["message"].toString().startsWith("cannot write the failed hosts '" + folder),
                 qPrintable(error["message"].toString()));
        QCOMPARE(events.last()["event"].toString(), "summary");
        QCOMPARE(events.last()["exitCode"].toInt(), 3);
        QVERIFY2(events.last()["rerun"].toString().endsWith(" 127.0.0.1:1"),
                 qPrintable(events.last()["rerun"].toString()));
        QCOMPARE(readJson(path("lost.json"))["exitCode"].toInt(), 3);
    }
    // An encoder another run holds is shown busy by --check and left alone by a run: skipped,
    // cause busy, in --failed-hosts and the rerun, status 1.
    void lockedEncoder() {
        const QString folder = path("run/fwupgrade");
        QVERIFY(!LockFolderFault(folder, true));
        EncoderLock held;
        QString why;
        QCOMPARE(held.take(folder, "127.0.0.1", 1, why), EncoderLock::Taken::Yes);
        const QString by = "being upgraded by process " + QString::number(::getpid());
        const CliRun check = RunCliInProcess({"--check", image, "127.0.0.1:1"});
        QVERIFY2(check.out.contains("127.0.0.1:1 at 127.0.0.1:1 (busy now: " + by + ")\n"),
                 qPrintable(check.out));
        const QString failed = path("busy.txt");
        const CliRun run = RunCliInProcess(
            {"--plain", "--no-history", "--failed-hosts", failed, image, "127.0.0.1:1"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("127.0.0.1:1: skipped (busy): " + by + "\n"),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains("again: fwupgrade-cli --plain --no-history --failed-hosts " +
                                  path("busy-rerun.txt") + " --hosts-file " + failed),
                 qPrintable(run.out));
        QCOMPARE(fileBytes(failed), QByteArray("127.0.0.1:1\n"));
    }
    // Two runs at once with one history and --skip-done (their locks beside it): each encoder
    // is flashed once, by the run that holds its lock; the other leaves it, busy (in its
    // failed hosts, status 1) or, once it held the lock, already upgraded.
    void concurrentRunsFlashOnce() {
        std::array<SimProcess, 4> sims;
        QStringList hosts;
        for (SimProcess& sim : sims) {
            QVERIFY(sim.start({"--report-line", "--gap-ms", "0"}));
            hosts << sim.host();
        }
        std::array<TestProcess, 2> runs;
        for (int run = 0; run < 2; ++run) {
            QByteArrayList arguments{"--json",
                                     "--skip-done",
                                     "--history",
                                     QFile::encodeName(path("shared.jsonl")),
                                     "--failed-hosts",
                                     QFile::encodeName(path(QString("busy-%1.txt").arg(run))),
                                     QFile::encodeName(image)};
            for (const QString& host : hosts)
                arguments << host.toLatin1();
            QVERIFY(runs[run].start(FWUPGRADE_CLI, arguments, -1, {"XDG_RUNTIME_DIR="}));
        }
        for (int run = 0; run < 2; ++run) {
            const int status = runs[run].waitForExit(60000);
            QByteArray busy;
            for (const QByteArray& line : runs[run].out().split('\n')) {
                const QJsonObject end = QJsonDocument::fromJson(line).object();
                if (end["event"] != "end" || end["result"] == "success")
                    continue;
                QVERIFY2(end["cause"] == "already-upgraded" || end["cause"] == "busy",
                         line.constData());
                if (end["cause"] == "busy") {
                    busy += end["host"].toString().toLatin1() + '\n';
                    QCOMPARE(end["reason"].toString(),
                             "being upgraded by process " + QString::number(runs[1 - run].pid()));
                }
            }
            QCOMPARE(status, busy.isEmpty() ? 0 : 1);
            QCOMPARE(fileBytes(path(QString("busy-%1.txt").arg(run))), busy);
        }
        for (SimProcess& sim : sims) {
            QVERIFY2(!sim.nextReport().isEmpty(), qPrintable(sim.host() + " was never flashed"));
            QVERIFY2(sim.nextReport(1000).isEmpty(), qPrintable(sim.host() + " was flashed twice"));
        }
    }
    // Lines far beyond a pipe's atomic size from four processes at once stay whole.
    void concurrentAppendsStayWhole() {
        const QString history = path("concurrent.jsonl");
        constexpr int Writers = 4;
        constexpr int LinesEach = 100;
        QList<pid_t> children;
        for (int writer = 0; writer < Writers; ++writer) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                HistoryFile file;
                bool ok = !file.open(history);
                for (int line = 0; ok && line < LinesEach; ++line)
                    ok = !file.append({{"writer", writer},
                                       {"line", line},
                                       {"padding", QString(20'000, QChar('a' + writer))}});
                ::_exit(ok ? 0 : 1);
            }
            children << child;
        }
        for (const pid_t child : children) {
            int status = -1;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const QList<QJsonObject> lines = jsonLines(history);
        QCOMPARE(lines.size(), Writers * LinesEach);
        QList<int> next(Writers, 0);
        for (const QJsonObject& line : lines) {
            const int writer = line["writer"].toInt(-1);
            QVERIFY(writer >= 0 && writer < Writers);
            QCOMPARE(line["line"].toInt(), next[writer]++);
            QCOMPARE(line["padding"].toString(), QString(20'000, QChar('a' + writer)));
        }
    }
    // The default history's folders: --check makes none, a run makes them.
    void defaultHistoryFolders() {
        const QString state = path("fresh-state");
        qputenv("XDG_STATE_HOME", state.toLocal8Bit());
        const CliRun check = RunCliInProcess({"--check", image, "127.0.0.1:1"});
        const bool madeByCheck = QFileInfo::exists(state);
        const CliRun run = RunCliInProcess({"--plain", image, "127.0.0.1:1"});
        qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
        QCOMPARE(check.exitCode, 0);
        QVERIFY(!madeByCheck);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(jsonLines(state + "/fwupgrade/history.jsonl").size(), 1);
    }
    void noHistory() {
        const QString state = path("no-history-state");
        qputenv("XDG_STATE_HOME", state.toLocal8Bit());
        const CliRun run = RunCliInProcess({"--plain", "--no-history", image, "127.0.0.1:1"});
        qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
        QCOMPARE(run.exitCode, 1);
        QVERIFY(!QFileInfo::exists(state));
        QCOMPARE(RunCliInProcess({"--no-history", "--skip-done", image, "127.0.0.1:1"}).exitCode,
                 2);
    }
};

QTEST_GUILESS_MAIN(TestCliRecords)
#include "tst_cli_records.moc"
