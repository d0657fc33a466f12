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

// Filled in the order of the fields but the last, whether or not the channel is connected: the
// local address needs a name lookup, which a front end makes off its event loop (HostLookup).
ConnectionInfo ReadConnectionInfo(const TcpClientChannel& channel);
