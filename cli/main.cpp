#include "BatchUpgrade.h"
#include "CliOptions.h"
#include "FirmwareImage.h"
#include "Reporter.h"
#include "SignalBridge.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

int badInput(const QString& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", CliName,
                 qPrintable(message), CliName);
    return 2;
}

QString unreadableReason(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("no such file");
    if (file.isDir())
        return QStringLiteral("it is a directory");
    if (!file.isFile())
        return QStringLiteral("not a regular file");
    if (!file.isReadable())
        return QStringLiteral("permission denied");
    return QStringLiteral("it cannot be read");
}

// Loads the image by the window's rules; an error text when it cannot be used.
std::optional<QString> loadImage(FirmwareImageBuffer& image, const QString& path) {
    switch (LoadFirmwareImage(image, path)) {
    case ImageLoadResult::Accepted:
        return std::nullopt;
    case ImageLoadResult::TooLong:
        return QStringLiteral("'%1': FILE TOO LONG (more than %2 bytes)")
            .arg(path)
            .arg(MaxImageSize);
    case ImageLoadResult::NotOpened:
        break;
    }
    return QStringLiteral("cannot read the image '%1': %2").arg(path, unreadableReason(path));
}

ImageSummary summarise(const FirmwareImageBuffer& image, const QString& path) {
    return {path, image.length, LengthText(image.length), FillPercentageText(image.length),
            ChecksumText(image.checksum)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(CliName));
    QCoreApplication::setApplicationVersion(QStringLiteral(FWUPGRADE_VERSION));

    const ParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments());
    if (!parsed.options) {
        if (parsed.exitCode != 0)
            return badInput(parsed.message);
        std::fputs(qPrintable(parsed.message), stdout);
        return 0;
    }
    CliOptions options = *parsed.options;
    if (const auto error = ResolveEncoders(options.encoders))
        return badInput(*error);
    const std::unique_ptr<FirmwareImageBuffer> image = NewFirmwareImageBuffer();
    if (const auto error = loadImage(*image, options.imagePath))
        return badInput(*error);

    const std::unique_ptr<Reporter> reporter = MakeReporter(options.output);
    QStringList hosts;
    for (const EncoderAddress& encoder : options.encoders)
        hosts << encoder.label;
    reporter->begin(summarise(*image, options.imagePath), hosts);

    // An output pipe that closes (`| head`) must not end upgrades in the middle of a flash
    // write: later output is lost, the upgrades go on.
    std::signal(SIGPIPE, SIG_IGN);
    SignalBridge stopSignals({SIGINT, SIGTERM});
    BatchUpgrade batch(options, *image, *reporter);
    QObject::connect(&stopSignals, &SignalBridge::received, &batch, [&batch](int signalNumber) {
        batch.interrupt(signalNumber == SIGINT ? QStringLiteral("SIGINT")
                                               : QStringLiteral("SIGTERM"));
    });
    QObject::connect(&batch, &BatchUpgrade::done, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    QTimer::singleShot(0, &batch, &BatchUpgrade::start);
    return QCoreApplication::exec();
}
