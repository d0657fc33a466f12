#pragma once

#include <QByteArray>

class TcpClientChannel;

// The connection as the operator typed it and as this machine sees itself.
struct ConnectionInfo {
    QByteArray remoteHost; // the host text as typed, not as resolved
    QByteArray remotePort; // the port text as typed
    QByteArray localHostName;
    QByteArray localHostAddress; // the address of localHostName, looked up afresh
};

// Filled in the order of the fields; the local name and address are looked up whether or not
// the channel is connected.
ConnectionInfo ReadConnectionInfo(const TcpClientChannel& channel);
