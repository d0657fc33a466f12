#pragma once

#include <QByteArray>

class TcpClientChannel;
struct FirmwareImageBuffer;

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

// The 12-byte header (reserved, length, checksum), in one send. True only when all of it
// went out.
bool SendUpgradeHeader(TcpClientChannel& channel, const FirmwareImageBuffer& image);

// The image's `length` bytes from the start of its data, in one send. True only when all of
// them went out; an empty image sends nothing and succeeds.
bool SendUpgradeImage(TcpClientChannel& channel, const FirmwareImageBuffer& image);
