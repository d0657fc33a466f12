// Feeds arbitrary command lines to fwupgrade-cli's parser: the arguments are the input's
// pieces between zero bytes, as UTF-8. The parser checks the syntax only; it must never look
// a host up or connect, so here both stop the fuzzer at once.
#include "CliOptions.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

QStringList commandLine(const std::uint8_t* data, std::size_t size) {
    QStringList arguments{QString::fromLatin1(CliName)};
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& piece : bytes.split('\0'))
        arguments.append(QString::fromLocal8Bit(piece));
    return arguments;
}

void checkEncoder(const EncoderAddress& encoder) {
    require(!encoder.host.isEmpty() && encoder.port != 0);
    // What the summary names it by parses again to the same encoder.
    EncoderAddress again;
    require(!ParseEncoderAddress(encoder.label, again));
    require(again.host == encoder.host && again.port == encoder.port);
}

} // namespace

extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**) {
    __builtin_trap();
}

extern "C" hostent* gethostbyname(const char*) {
    __builtin_trap();
}

extern "C" int connect(int, const sockaddr*, socklen_t) {
    __builtin_trap();
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The version text comes from the application object, as in the program.
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ParsedCommandLine parsed = ParseCommandLine(commandLine(data, size));
    if (!parsed.options) {
        require(parsed.exitCode == 0 || parsed.exitCode == 2);
        require(!parsed.message.isEmpty());
        return 0;
    }
    require(parsed.exitCode == 0 && parsed.message.isEmpty());
    // Hosts files are read later; without one, the command line names a host.
    require(!parsed.options->encoders.isEmpty() || !parsed.options->hostsFiles.isEmpty());
    for (const EncoderAddress& encoder : parsed.options->encoders)
        checkEncoder(encoder);
    if (parsed.options->silenceSeconds)
        require(*parsed.options->silenceSeconds > 0);
    return 0;
}
