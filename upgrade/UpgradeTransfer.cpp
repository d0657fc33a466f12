#include "UpgradeTransfer.h"

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeHeader.h"

ConnectionInfo ReadConnectionInfo(const TcpClientChannel& channel) {
    ConnectionInfo info;
    info.remoteHost = channel.RemoteHost();
    info.remotePort = channel.RemotePort();
    info.localHostName = TcpClientChannel::LocalHostName();
    info.localHostAddress = TcpClientChannel::LookupHostAddr(info.localHostName);
    return info;
}

bool SendUpgradeHeader(TcpClientChannel& channel, const FirmwareImageBuffer& image) {
    const auto header = UpgradeHeader(image.length, image.checksum);
    return channel.SendBuf(header.data(), UpgradeHeaderSize, 0) == UpgradeHeaderSize;
}

bool SendUpgradeImage(TcpClientChannel& channel, const FirmwareImageBuffer& image) {
    if (image.length < 0 || image.length > ImageBufferSize)
        return false;
    if (image.length == 0)
        return true;
    return channel.SendBuf(image.data.data(), image.length, 0) == image.length;
}
