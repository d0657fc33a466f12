#pragma once

// A front end that records every call of the reply handling, and a loopback encoder whose
// accepted connection the test writes replies to.

#include "EncoderProtocol.h"
#include "UpgradeView.h"

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// The lines an upgrade writes to its log, as the rows spell them.
namespace UpgradeLogLines {
inline const QString H = UpgradeLog::SendHeader;
inline const QString P = UpgradeLog::SendProgram;
inline const QString W = UpgradeLog::PowerWarning;
inline const QString Lost = UpgradeLog::ConnectionLost;
inline const QString Failed = UpgradeLog::SendFailed;
inline const QString A = UpgradeLog::Abort;
} // namespace UpgradeLogLines

class UpgradeRecordingView : public UpgradeView {
public:
    QStringList calls;
    // Runs inside the modal boxes, as the toolkit's event loop would deliver ticks.
    std::function<void()> whileBoxOpen;

    void showPhaseRow(UpgradePhase phase) override { calls << "row " + name(phase); }
    void setPhaseText(UpgradePhase phase, const QString& text) override {
        calls << "text " + name(phase) + ": " + text;
    }
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override {
        calls << "pos " + name(phase) + " " + QString::number(position);
    }
    void appendDeviceLog(const QString& line) override { calls << "memo4 " + line; }
    void appendUpgradeLog(const QString& line) override { calls << "memo5 " + line; }
    void showErrorText(const QString& text) override {
        calls << "error box " + text;
        if (whileBoxOpen)
            whileBoxOpen();
    }
    void showSuccess(const QString& text) override {
        calls << "success box " + text;
        if (whileBoxOpen)
            whileBoxOpen();
    }
    void upgradeEnded(const UpgradeEnd& end) override {
        calls << "ended " + UpgradeEndKindName(end.kind);
    }

    void connectionSettled(bool connected) override {
        calls << (connected ? "connected" : "not connected");
    }
    void stepEntered(UpgradeStep step) override {
        if (onStep)
            onStep(step);
    }
    // Runs as the session enters each of its steps.
    std::function<void(UpgradeStep)> onStep;

    // The lines that went to one log ("memo4" or "memo5"), in order.
    QStringList log(const QString& memo) const {
        QStringList lines;
        for (const QString& call : calls) {
            if (call.startsWith(memo + ' '))
                lines << call.mid(memo.size() + 1);
        }
        return lines;
    }

    static QString name(UpgradePhase phase) {
        switch (phase) {
        case UpgradePhase::Sending:
            return "Sending";
        case UpgradePhase::Erasing:
            return "Erasing";
        case UpgradePhase::Programming:
            return "Programming";
        }
        return "?";
    }
};

// Listens on 127.0.0.1 only. Used without an event loop, through the blocking waits.
class UpgradeLoopbackEncoder {
public:
    UpgradeLoopbackEncoder() { server.listen(QHostAddress::LocalHost, 0); }
    bool listening() const { return server.isListening(); }
    QByteArray portText() const { return QByteArray::number(server.serverPort()); }

    bool accept() {
        // An event loop that turned meanwhile may have taken the connection in already.
        if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
            return false;
        peer = server.nextPendingConnection();
        return peer != nullptr;
    }
    bool send(const QByteArray& bytes) {
        if (peer->write(bytes) != bytes.size())
            return false;
        while (peer->bytesToWrite() > 0) {
            if (!peer->waitForBytesWritten(5000))
                return false;
        }
        return true;
    }
    // Exactly count bytes, or fewer if they do not come within 5 s.
    QByteArray receive(qsizetype count) {
        QByteArray bytes;
        while (bytes.size() < count) {
            if (peer->bytesAvailable() == 0 && !peer->waitForReadyRead(5000))
                break;
            bytes += peer->read(count - bytes.size());
        }
        return bytes;
    }
    // Whether anything more arrives, or the client closes, within ms.
    QByteArray receiveRest(int ms) {
        peer->waitForReadyRead(ms);
        return peer->readAll();
    }
    // An orderly close (FIN).
    void close() { peer->disconnectFromHost(); }
    // A reset (RST): the client's next receive fails.
    void reset();

private:
    QTcpServer server;
    QTcpSocket* peer = nullptr;
};
