#pragma once

// This machine's name and IPv4 address found without the channel: uname(2), and a lookup of
// that name restricted to IPv4 (the hosts file answers it).

#include <QByteArray>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/utsname.h>

inline QByteArray MachineName() {
    utsname names{};
    return ::uname(&names) == 0 ? QByteArray(names.nodename) : QByteArray();
}

inline QByteArray MachineAddress() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(MachineName().constData(), nullptr, &hints, &found) != 0 || !found)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text,
                sizeof text);
    ::freeaddrinfo(found);
    return QByteArray(text);
}
