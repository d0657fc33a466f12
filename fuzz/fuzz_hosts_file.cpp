// Feeds arbitrary hosts files to fwupgrade-cli's parser. It reads text only: looking a host
// up or connecting stops the fuzzer at once. Every encoder it accepts parses again, from the
// text that names it, to the same encoder.
#include "CliOptions.h"

#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**) {
    __builtin_trap();
}

extern "C" int connect(int, const sockaddr*, socklen_t) {
    __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    QList<EncoderAddress> encoders;
    const std::optional<QString> error = ParseHostsText(text, QStringLiteral("hosts"), encoders);
    if (error) {
        require(error->startsWith(QStringLiteral("hosts, line ")));
        return 0;
    }
    require(encoders.size() <= text.count('\n') + 1);
    for (const EncoderAddress& encoder : encoders) {
        require(!encoder.host.isEmpty() && encoder.port != 0);
        require(!encoder.label.contains(QLatin1Char('#')));
        EncoderAddress again;
        require(!ParseEncoderAddress(encoder.label, again));
        require(again.host == encoder.host && again.port == encoder.port);
    }
    return 0;
}
