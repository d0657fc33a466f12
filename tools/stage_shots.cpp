// Takes the README's pictures from the real window: as it first shows, with an image
// accepted, in the middle of programming, and at the success message. The window runs
// against encoder-sim on 127.0.0.1; the file dialog and the boxes are answered in the
// operator's place.
#include "Dialogs.h"
#include "StartUp.h"
#include "TForm1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>

namespace {

// Answers the file dialog with one path and turns the success box into a picture.
class ShotDialogs : public DialogSeam {
public:
    ShotDialogs(QString image, std::function<void(const QString&, std::optional<QPoint>)> notice)
        : imagePath(std::move(image)), onNotice(std::move(notice)) {}
    void RunFileDialog(QFileDialog& dialog) override { emit dialog.fileSelected(imagePath); }
    void NoticeBox(const QString& text, std::optional<QPoint> topLeft) override {
        onNotice(text, topLeft);
    }
    void ErrorBox(const QString& text) override {
        std::fprintf(stderr, "error box: %s\n", qPrintable(text));
    }
    bool RunCloseQuestion(QMessageBox& box) override {
        std::fprintf(stderr, "close question: %s\n", qPrintable(box.text()));
        return true;
    }

private:
    QString imagePath;
    std::function<void(const QString&, std::optional<QPoint>)> onNotice;
};

bool save(const QPixmap& picture, const QString& path) {
    const bool saved = picture.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

// The window with the box drawn where the screen would show it (the window sits at 0, 0).
QPixmap withBox(QWidget& window, const QString& text, QPoint topLeft) {
    const QPixmap shot = window.grab();
    const auto box = MakeNoticeBox(text, topLeft);
    box->adjustSize();
    const QPixmap boxShot = box->grab();
    QPixmap canvas(qMax(shot.width(), topLeft.x() + boxShot.width() + 1),
                   qMax(shot.height(), topLeft.y() + boxShot.height() + 1));
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.drawPixmap(0, 0, shot);
    painter.drawPixmap(topLeft, boxShot);
    painter.setPen(Qt::darkGray);
    painter.drawRect(QRect(topLeft, boxShot.size()).adjusted(-1, -1, 0, 0));
    return canvas;
}

QString startSimulator(QProcess& sim, const QString& program) {
    sim.start(program, {"--port", "0", "--once", "--gap-ms", "4", "--receive-step", "32768",
                        "--program-step", "32768", "--erase-step", "0x20000"});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000))
        return {};
    const QByteArray line = sim.readLine().trimmed(); // "listening on 127.0.0.1:PORT"
    return QString::fromLatin1(line.mid(line.lastIndexOf(':') + 1));
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: stage-shots OUTPUT_FOLDER ENCODER_SIM\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    PrepareApplication(application);

    // A folder of its own with a plain name, since the path shows in the pictures.
    QDir folder(QDir::temp().filePath("firmware"));
    if (!folder.mkpath("."))
        return 1;
    const QString image = folder.filePath("encoder-fw-2.4.1.bin");
    QByteArray bytes(1'200'000, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char& byte : bytes)
        byte = char(generator.generate());
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return 1;
    file.close();

    QProcess sim;
    const QString port = startSimulator(sim, QString::fromLocal8Bit(argv[2]));
    if (port.isEmpty()) {
        std::fprintf(stderr, "encoder-sim did not start\n");
        return 1;
    }

    TForm1 window;
    bool ok = true;
    ShotDialogs dialogs(image, [&](const QString& text, std::optional<QPoint> topLeft) {
        if (topLeft)
            ok &= save(withBox(window, text, *topLeft), out + "/stage-4-success.png");
        else
            std::fprintf(stderr, "notice: %s\n", qPrintable(text));
        QTimer::singleShot(0, &application, &QApplication::quit);
    });
    InstallDialogs(&dialogs);
    window.FormCreate();
    window.move(0, 0);
    window.show();
    ok &= save(window.grab(), out + "/stage-1-initial.png");

    window.SpeedButton24->click();
    window.EHost->setText("127.0.0.1");
    window.Edit4->setText(port);
    ok &= save(window.grab(), out + "/stage-2-image-accepted.png");

    bool programmingShot = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!programmingShot && window.ProgressBar1->isVisible() &&
            window.ProgressBar1->value() > window.ProgressBar1->maximum() / 2) {
            programmingShot = true;
            ok &= save(window.grab(), out + "/stage-3-programming.png");
        }
    });
    watch.start(2);
    QTimer::singleShot(60'000, &application, [&] {
        std::fprintf(stderr, "the upgrade did not finish in time\n");
        ok = false;
        application.quit();
    });
    QTimer::singleShot(0, &window, [&] { window.SpeedButton26->click(); });
    application.exec();
    InstallDialogs(nullptr);
    sim.waitForFinished(5000);
    QFile::remove(image);
    folder.rmdir(".");
    return ok && programmingShot ? 0 : 1;
}
