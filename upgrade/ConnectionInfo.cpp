#include "ConnectionInfo.h"

#include "TcpClientChannel.h"

ConnectionInfo ReadConnectionInfo(const TcpClientChannel& channel) {
    ConnectionInfo info;
    info.remoteHost = channel.RemoteHost();
    info.remotePort = channel.RemotePort();
    info.localHostName = TcpClientChannel::LocalHostName();
    return info;
}
