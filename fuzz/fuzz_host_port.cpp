// Feeds arbitrary host and port texts to the channel's lookups. Only texts that are never
// looked up as names (empty, or starting with a digit) go to LookupHostAddr: any other text
// would become a name-server query, and a fuzzer must send nothing off this machine.
#include "ProgramError.h"
#include "TcpClientChannel.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const std::uint16_t port = TcpClientChannel::LookupPort(text);
        (void)port;
    } catch (const ProgramError& error) {
        if (!error.message().startsWith(QStringLiteral("''")))
            __builtin_trap();
    }
    if (text.isEmpty() || (text[0] >= '0' && text[0] <= '9')) {
        const QByteArray dotted = TcpClientChannel::LookupHostAddr(text);
        // A text that starts with a digit is kept as written or refused, never changed.
        if (!text.isEmpty() && !dotted.isEmpty() && dotted != text)
            __builtin_trap();
    }
    return 0;
}
