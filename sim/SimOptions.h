#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// The encoder gets ready for the image after the header; an image that starts sooner than
// this after the header's last byte is a broken upgrade.
inline constexpr int HeaderToImageMs = 1000;
// The encoder's image may fill its program memory, and no more.
inline constexpr std::uint32_t MaxImageLength = 0x3D0000;
// The encoder reports its erase progress as flash addresses over this range.
inline constexpr std::uint32_t FlashFirst = 0x30000000;
inline constexpr std::uint32_t FlashEnd = 0x303D0000;

// The points of an upgrade at which a fault can be placed. Each stage begins with its own
// reply (the header stage has none), and a fault replaces everything from there on:
//   Header:  right after the 12 header bytes, before "start receiving image file"
//   Receive: after "start receiving image file", before the first received-bytes count
//   Erase:   after "erase flash program...", before the first erase address
//   Program: after "flash program...", before the first programmed-bytes count
//   Verify:  after the last programmed count, in place of "verify flash program...done"
enum class Stage { Header, Receive, Erase, Program, Verify };

enum class FaultKind {
    None,
    Fail,   // "flash program fail"
    Error,  // "*** ERROR ***" then the error text
    Close,  // close the connection (FIN)
    Reset,  // close the connection with RST
    Silent, // send nothing more, keep the connection open
};

struct StageFault {
    FaultKind kind = FaultKind::None;
    Stage stage = Stage::Header;
};

struct SimOptions {
    QString address = QStringLiteral("127.0.0.1");
    std::uint16_t port = 9999;
    bool once = false;
    int gapMs = 2;
    std::uint32_t receiveStep = 0x10000;
    std::uint32_t eraseStep = 0x10000;
    std::uint32_t programStep = 0x10000;
    bool noZero = false;
    // No reply before the image has arrived whole, as with noZero, the zero bytes kept.
    bool afterImage = false;
    StageFault fault;
    QByteArray errorText = "simulated error";
    std::optional<int> closeAfterReplies;
    std::optional<std::uint32_t> stopReadingAfter;
    // Image bytes read per second at most, through a small receive buffer; none: as they come.
    std::optional<std::uint32_t> readRate;
    bool mergeReplies = false;
    bool splitReplies = false;
    int longReply = 0;
    bool garbage = false;
    bool refuse = false;
    // Ports listened on at once; past one, every connection is served on a thread of its own.
    int listeners = 1;
    int idleTimeoutMs = 120000;
    // The least time from the header's last byte to the first image byte of a good upgrade.
    int minPauseMs = HeaderToImageMs;
    QString reportFile;
    bool reportLine = false;
};

// Whether nothing goes out before the image has arrived whole.
inline bool repliesWaitForImage(const SimOptions& options) {
    return options.noZero || options.afterImage;
}

// Either usable options, or a text to print and the exit status to leave with
// (0 with the help or version text on stdout, 2 with an error on stderr).
struct ParsedOptions {
    std::optional<SimOptions> options;
    int exitCode = 0;
    QString message;
};

// `arguments` includes the program name, as argv does.
ParsedOptions parseSimOptions(const QStringList& arguments);

QString stageName(Stage stage);
