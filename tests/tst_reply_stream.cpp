#include "ReplyStream.h"

#include <QTest>

namespace {

QByteArray bytes(const char* text, qsizetype size) {
    return QByteArray(text, size);
}

QByteArray run(qsizetype count, char c) {
    return QByteArray(count, c);
}

} // namespace

class TestReplyStream : public QObject {
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void flushAtClose_data();
    void flushAtClose();
    void byteByByteKeepsRepliesWhole();
    void bufferStaysBoundedUnderAFlood();
};

// Each chunk is fed as one receive; between chunks the stream is drained as if more bytes
// were (or were not) still waiting on the socket, and once more after the last chunk.
void TestReplyStream::replies_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<bool>("waitingBetween");
    QTest::addColumn<bool>("waitingAtEnd");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<qsizetype>("left");

    QTest::newRow("zero bytes split one receive")
        << QByteArrayList{bytes("start receiving image file\0"
                                "500\0"
                                "1000\0",
                                36)}
        << true << true << QByteArrayList{"start receiving image file", "500", "1000"}
        << qsizetype(0);
    QTest::newRow("lone zero bytes are no replies")
        << QByteArrayList{bytes("\0\0abc\0\0\0", 8)} << true << false << QByteArrayList{"abc"}
        << qsizetype(0);
    QTest::newRow("only zero bytes")
        << QByteArrayList{bytes("\0\0\0", 3)} << false << false << QByteArrayList{} << qsizetype(0);
    QTest::newRow("reply cut by the receive is joined")
        << QByteArrayList{"start recei", bytes("ving image file\0", 16)} << true << false
        << QByteArrayList{"start receiving image file"} << qsizetype(0);
    QTest::newRow("after a zero byte, a cut reply waits even with nothing more waiting")
        << QByteArrayList{bytes("1\0start recei", 13), bytes("ving image file\0", 16)} << false
        << false << QByteArrayList{"1", "start receiving image file"} << qsizetype(0);
    QTest::newRow("without any zero byte, a receive alone is a reply")
        << QByteArrayList{"start recei", "ving image file"} << false << false
        << QByteArrayList{"start recei", "ving image file"} << qsizetype(0);
    QTest::newRow("without any zero byte, bytes wait while more is waiting")
        << QByteArrayList{"51", "2"} << true << true << QByteArrayList{} << qsizetype(3);
    QTest::newRow("then form one reply once nothing more waits")
        << QByteArrayList{"51", "2"} << true << false << QByteArrayList{"512"} << qsizetype(0);
    QTest::newRow("unterminated bytes after a zero byte wait for theirs")
        << QByteArrayList{bytes("1\0"
                                "23",
                                4)}
        << false << false << QByteArrayList{"1"} << qsizetype(2);
    QTest::newRow("trailing CR LF stays in the reply")
        << QByteArrayList{bytes("start receiving image file\r\n\0", 29)} << true << true
        << QByteArrayList{"start receiving image file\r\n"} << qsizetype(0);
    QTest::newRow("600-byte reply in pieces of 255")
        << QByteArrayList{run(600, 'x') + bytes("\0", 1)} << true << true
        << QByteArrayList{run(255, 'x'), run(255, 'x'), run(90, 'x')} << qsizetype(0);
    QTest::newRow("255-byte reply and its zero byte")
        << QByteArrayList{run(255, 'y') + bytes("\0"
                                                "7\0",
                                                3)}
        << true << true << QByteArrayList{run(255, 'y'), "7"} << qsizetype(0);
    QTest::newRow("510-byte reply leaves no empty piece")
        << QByteArrayList{run(510, 'z') + bytes("\0", 1)} << true << true
        << QByteArrayList{run(255, 'z'), run(255, 'z')} << qsizetype(0);
    QTest::newRow("255 unterminated bytes are complete even while more waits")
        << QByteArrayList{bytes("\0", 1) + run(300, 'w')} << true << true
        << QByteArrayList{run(255, 'w')} << qsizetype(45);
    QTest::newRow("long reply cut across receives")
        << QByteArrayList{run(200, 'a'), run(200, 'a') + bytes("\0", 1)} << true << true
        << QByteArrayList{run(255, 'a'), run(145, 'a')} << qsizetype(0);
    QTest::newRow("8-bit bytes pass unchanged")
        << QByteArrayList{bytes("\xe9\xff\x01\0", 4)} << true << true
        << QByteArrayList{"\xe9\xff\x01"} << qsizetype(0);
}

void TestReplyStream::replies() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(bool, waitingBetween);
    QFETCH(bool, waitingAtEnd);
    QFETCH(QByteArrayList, expected);
    QFETCH(qsizetype, left);

    ReplyStream stream;
    QByteArrayList taken;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        stream.feed(chunks[i].constData(), chunks[i].size());
        const bool last = i + 1 == chunks.size();
        while (auto reply = stream.takeReply(last ? waitingAtEnd : waitingBetween))
            taken.append(*reply);
    }
    QCOMPARE(taken, expected);
    QCOMPARE(stream.pendingBytes(), left);
    for (const QByteArray& reply : taken)
        QVERIFY(reply.size() >= 1 && reply.size() <= 255 && !reply.contains('\0'));
}

void TestReplyStream::flushAtClose_data() {
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArrayList>("takenBefore");
    QTest::addColumn<QByteArrayList>("flushed");

    QTest::newRow("nothing") << QByteArray() << QByteArrayList{} << QByteArrayList{};
    QTest::newRow("unterminated rest after a zero byte")
        << bytes("1\0"
                 "700",
                 5)
        << QByteArrayList{"1"} << QByteArrayList{"700"};
    QTest::newRow("complete replies still held, then the rest")
        << bytes("\0"
                 "500\0"
                 "1000\0"
                 "12",
                 12)
        << QByteArrayList{} << QByteArrayList{"500", "1000", "12"};
    QTest::newRow("long unterminated rest in pieces")
        << bytes("\0", 1) + run(300, 'q') << QByteArrayList{run(255, 'q')}
        << QByteArrayList{run(45, 'q')};
    QTest::newRow("ends with a zero byte")
        << bytes("9\0", 2) << QByteArrayList{"9"} << QByteArrayList{};
}

void TestReplyStream::flushAtClose() {
    QFETCH(QByteArray, received);
    QFETCH(QByteArrayList, takenBefore);
    QFETCH(QByteArrayList, flushed);

    ReplyStream stream;
    stream.feed(received.constData(), received.size());
    QByteArrayList taken;
    // Only what is complete while the connection is open; the rest waits for the close.
    for (qsizetype i = 0; i < takenBefore.size(); ++i) {
        auto reply = stream.takeReply(true);
        QVERIFY(reply);
        taken.append(*reply);
    }
    QCOMPARE(taken, takenBefore);
    QCOMPARE(stream.flushAtClose(), flushed);
    QCOMPARE(stream.pendingBytes(), qsizetype(0));
    QVERIFY(!stream.takeReply(false));
}

void TestReplyStream::byteByByteKeepsRepliesWhole() {
    // Once the encoder has ended a reply with a zero byte, bytes that trickle in one by one,
    // with nothing behind them, are still gathered into whole replies.
    const QByteArray wire = bytes("1\0start receiving image file\0"
                                  "1000\0",
                                  34);
    ReplyStream stream;
    QByteArrayList taken;
    for (char c : wire) {
        stream.feed(&c, 1);
        while (auto reply = stream.takeReply(false))
            taken.append(*reply);
    }
    QCOMPARE(taken, (QByteArrayList{"1", "start receiving image file", "1000"}));
    QCOMPARE(stream.pendingBytes(), qsizetype(0));
}

void TestReplyStream::bufferStaysBoundedUnderAFlood() {
    ReplyStream stream;
    const QByteArray chunk = bytes("\0", 1) + run(4095, 'f');
    qsizetype takenBytes = 0;
    for (int i = 0; i < 1000; ++i) {
        stream.feed(chunk.constData(), chunk.size());
        while (auto reply = stream.takeReply(true)) {
            QVERIFY(reply->size() <= 255);
            takenBytes += reply->size();
        }
        QVERIFY(stream.pendingBytes() < 255);
    }
    QCOMPARE(takenBytes + stream.pendingBytes(), qsizetype(1000) * 4095);
}

QTEST_APPLESS_MAIN(TestReplyStream)
#include "tst_reply_stream.moc"
