// What fwupgrade-cli leaves behind, run in this process: record paths refused before any
// connection, the image's SHA-256 and its pinning, the history of encoder ends (whole lines
// under concurrent appends) and the reruns that skip what the history has upgraded.

#include "RunRecords.h"
#include "cli_in_process.h"
#include "sim_process.h"
#include "test_image.h"

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

QJsonObject historyEntry(const QString& address, int port, const QString& result,
                         const QString& cause, const QString& sha256) {
    return {{"address", address},
            {"port", port},
            {"result", result},
            {"cause", cause},
            {"sha256", sha256}};
}

} // namespace

class TestCliRecords : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString image;
    QString sha256;

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
        const QByteArray bytes = RandomImage(20'000, 3);
        image = WriteImageFile(path("image.bin"), bytes);
        QVERIFY(!image.isEmpty());
        sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        QVERIFY(QDir().mkpath(path("folder")));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        QVERIFY(QFile::link("/dev/null", path("null-link")));
    }

    // A record that is no regular file, or whose folder is missing, stops the run before any
    // connection; --check says the same. /dev/null stays the device it is.
    void refusedRecordPath_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("file"); // %D: this test's folder
        QTest::addColumn<QString>("fault");
        const QList<std::tuple<const char*, QString, QString, QString>> rows{
            {"device", "--report", "/dev/null", "not a regular file"},
            {"link to a device", "--failed-hosts", "%D/null-link", "not a regular file"},
            {"folder", "--failed-hosts", "%D/folder", "it is a folder"},
            {"fifo", "--history", "%D/fifo", "not a regular file"},
            {"missing folder", "--report", "%D/gone/report.json",
             "the folder '%D/gone' does not exist"},
            {"missing history folder", "--history", "%D/gone/history.jsonl",
             "the folder '%D/gone' does not exist"},
        };
        for (const auto& [name, option, file, fault] : rows) {
            for (const bool check : {false, true})
                QTest::addRow("%s%s", name, check ? ", --check" : "") << option << file << fault;
        }
    }
    void refusedRecordPath() {
        QFETCH(QString, option);
        QFETCH(QString, file);
        QFETCH(QString, fault);
        file.replace("%D", dir.path());
        fault.replace("%D", dir.path());
        QTcpServer encoder;
        QVERIFY(encoder.listen(QHostAddress::LocalHost));
        QStringList arguments{"--plain", option, file, image,
                              QStringLiteral("127.0.0.1:%1").arg(encoder.serverPort())};
        if (QByteArray(QTest::currentDataTag()).endsWith("--check"))
            arguments.prepend("--check");
        const CliRun run = RunCliInProcess(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.startsWith(
                     QStringLiteral("fwupgrade-cli: %1 '%2': %3").arg(option, file, fault)),
                 qPrintable(run.err));
        QVERIFY(!encoder.waitForNewConnection(200));
        struct stat info {};
        QCOMPARE(::stat("/dev/null", &info), 0);
        QVERIFY(S_ISCHR(info.st_mode));
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
        const CliRun run =
            RunCliInProcess({"--json", "--no-history", "--expect-sha256", sha256.toUpper(),
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
        const QJsonObject& success = lines[1];
        QCOMPARE(success["host"].toString(), sim.host());
        QCOMPARE(success["address"].toString(), "127.0.0.1");
        QCOMPARE(success["port"].toInt(), sim.port());
        QCOMPARE(success["image"].toString(), image);
        QCOMPARE(success["sha256"].toString(), sha256);
        QCOMPARE(success["length"].toInt(), 20'000);
        QCOMPARE(success["result"].toString(), "success");
        QCOMPARE(success["cause"].toString(), "success");
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
    // A canary that fails while every other encoder is already upgraded stops nothing: no
    // rollout is told as stopped.
    void failedCanaryWithTheRestSkipped() {
        writeLines("rest-done.jsonl", {historyEntry("127.0.0.1", 2, "success", "success", sha256)});
        const CliRun run =
            RunCliInProcess({"--json", "--skip-done", "--canary", "1", "--history",
                             path("rest-done.jsonl"), image, "127.0.0.1:1", "127.0.0.1:2"});
        QCOMPARE(run.exitCode, 1);
        const QJsonObject summary =
            QJsonDocument::fromJson(run.out.trimmed().split('\n').last().toUtf8()).object();
        QCOMPARE(summary["event"].toString(), "summary");
        QCOMPARE(summary["rollout"].toObject()["stopped"].toBool(), false);
        QCOMPARE(summary["skipped"].toArray().size(), 1);
    }
    // The latest entry of an address and port decides, a skip as already upgraded included;
    // lines that are no JSON are passed over.
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
                    historyEntry("127.0.0.2", 1000, "failure", "not-reachable", sha256)});
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
        QCOMPARE(done.value(EncoderKey("127.0.0.5", 999), true), false);
        QVERIFY(DoneWithImage(path("no-such-history"), sha256).isEmpty());
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
