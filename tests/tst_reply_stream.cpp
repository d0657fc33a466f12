#include "ReplyStream.h"

#include <QTest>

namespace {

QByteArray bytes(const char* text, qsizetype size) {
    return QByteArray(text, size);
}

QByteArray run(qsizetype count, char c) {
    return QByteArray(count, c);
}

using Clock = ReplyStream::Clock;
using std::chrono::milliseconds;

const Clock::time_point T0 = Clock::now();

} // namespace

class TestReplyStream : public QObject {
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void flushAtClose_data();
    void flushAtClose();
    void byteByByteKeepsRepliesWhole();
    void heldTailIsDueAfterTheQuietTime();
    void bufferStaysBoundedUnderAFlood();
};

// Each chunk is fed as one receive, 1 ms after the one before; after each chunk the stream is
// drained as if more bytes were (or were not) still waiting on the socket. With quietAtEnd,
// it is drained once more when the quiet time has passed since the last chunk, nothing
// waiting.
void TestReplyStream::replies_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<bool>("waitingBetween");
    QTest::addColumn<bool>("waitingAtEnd");
    QTest::addColumn<bool>("quietAtEnd");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<qsizetype>("left");

    QTest::newRow("zero bytes split one receive")
        << QByteArrayList{bytes("start receiving image file\0"
                                "500\0"
                                "1000\0",
                                36)}
        << true << true << false << QByteArrayList{"start receiving image file", "500", "1000"}
        << qsizetype(0);
    QTest::newRow("lone zero bytes are no replies")
        << QByteArrayList{bytes("\0\0abc\0\0\0", 8)} << true << false << false
        << QByteArrayList{"abc"} << qsizetype(0);
    QTest::newRow("only zero bytes") << QByteArrayList{bytes("\0\0\0", 3)} << false << false << true
                                     << QByteArrayList{} << qsizetype(0);
    QTest::newRow("reply cut by the receive is joined")
        << QByteArrayList{"start recei", bytes("ving image file\0", 16)} << true << false << false
        << QByteArrayList{"start receiving image file"} << qsizetype(0);
    QTest::newRow("a tail held with nothing waiting is joined by bytes that bring a zero")
        << QByteArrayList{"start recei", bytes("ving image file\0", 16)} << false << false << false
        << QByteArrayList{"start receiving image file"} << qsizetype(0);
    QTest::newRow("a tail held, then several replies")
        << QByteArrayList{"start recei", bytes("ving image file\0"
                                               "400\0"
                                               "10",
                                               22)}
        << false << false << true << QByteArrayList{"start receiving image file", "400"}
        << qsizetype(2);
    QTest::newRow("after a zero byte, a cut reply waits even with nothing more waiting")
        << QByteArrayList{bytes("1\0start recei", 13), bytes("ving image file\0", 16)} << false
        << false << false << QByteArrayList{"1", "start receiving image file"} << qsizetype(0);
    QTest::newRow("after a zero byte, a tail waits past the quiet time")
        << QByteArrayList{bytes("1\0start recei", 13)} << false << false << true
        << QByteArrayList{"1"} << qsizetype(11);
    QTest::newRow("without any zero byte, next bytes without one end the held tail")
        << QByteArrayList{"start recei", "ving image file"} << false << false << false
        << QByteArrayList{"start recei"} << qsizetype(15);
    QTest::newRow("and the last tail is a reply after the quiet time")
        << QByteArrayList{"start recei", "ving image file"} << false << false << true
        << QByteArrayList{"start recei", "ving image file"} << qsizetype(0);
    QTest::newRow("without any zero byte, bytes wait while more is waiting")
        << QByteArrayList{"51", "2"} << true << true << true << QByteArrayList{"512"}
        << qsizetype(0);
    QTest::newRow("then form one tail, held within the quiet time")
        << QByteArrayList{"51", "2"} << true << false << false << QByteArrayList{} << qsizetype(3);
    QTest::newRow("held tail, then 300 bytes without a zero: the tail, then a piece")
        << QByteArrayList{"abc", run(300, 'x')} << false << true << false
        << QByteArrayList{"abc", run(255, 'x')} << qsizetype(45);
    QTest::newRow("unterminated bytes after a zero byte wait for theirs")
        << QByteArrayList{bytes("1\0"
                                "23",
                                4)}
        << false << false << false << QByteArrayList{"1"} << qsizetype(2);
    QTest::newRow("trailing CR LF stays in the reply")
        << QByteArrayList{bytes("start receiving image file\r\n\0", 29)} << true << true << false
        << QByteArrayList{"start receiving image file\r\n"} << qsizetype(0);
    QTest::newRow("600-byte reply in pieces of 255")
        << QByteArrayList{run(600, 'x') + bytes("\0", 1)} << true << true << false
        << QByteArrayList{run(255, 'x'), run(255, 'x'), run(90, 'x')} << qsizetype(0);
    QTest::newRow("255-byte reply and its zero byte")
        << QByteArrayList{run(255, 'y') + bytes("\0"
                                                "7\0",
                                                3)}
        << true << true << false << QByteArrayList{run(255, 'y'), "7"} << qsizetype(0);
    QTest::newRow("510-byte reply leaves no empty piece")
        << QByteArrayList{run(510, 'z') + bytes("\0", 1)} << true << true << false
        << QByteArrayList{run(255, 'z'), run(255, 'z')} << qsizetype(0);
    QTest::newRow("255 unterminated bytes are complete even while more waits")
        << QByteArrayList{bytes("\0", 1) + run(300, 'w')} << true << true << false
        << QByteArrayList{run(255, 'w')} << qsizetype(45);
    QTest::newRow("long reply cut across receives")
        << QByteArrayList{run(200, 'a'), run(200, 'a') + bytes("\0", 1)} << true << true << false
        << QByteArrayList{run(255, 'a'), run(145, 'a')} << qsizetype(0);
    QTest::newRow("8-bit bytes pass unchanged")
        << QByteArrayList{bytes("\xe9\xff\x01\0", 4)} << true << true << false
        << QByteArrayList{"\xe9\xff\x01"} << qsizetype(0);
}

void TestReplyStream::replies() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(bool, waitingBetween);
    QFETCH(bool, waitingAtEnd);
    QFETCH(bool, quietAtEnd);
    QFETCH(QByteArrayList, expected);
    QFETCH(qsizetype, left);

    ReplyStream stream;
    QByteArrayList taken;
    Clock::time_point now = T0;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        now += milliseconds(1);
        stream.feed(chunks[i].constData(), chunks[i].size(), now);
        const bool last = i + 1 == chunks.size();
        while (auto reply = stream.takeReply(last ? waitingAtEnd : waitingBetween, now))
            taken.append(*reply);
    }
    if (quietAtEnd) {
        while (auto reply = stream.takeReply(false, now + ReplyStream::TailQuietTime))
            taken.append(*reply);
    }
    QCOMPARE(taken, expected);
    QCOMPARE(stream.pendingBytes(), left);
    for (const QByteArray& reply : taken)
        QVERIFY(reply.size() >= 1 && reply.size() <= 255 && !reply.contains('\0'));
}

// `held` comes first and is drained with nothing waiting, so that it is held as a tail when
// it has no zero byte; `received` comes 1 ms later.
void TestReplyStream::flushAtClose_data() {
    QTest::addColumn<QByteArray>("held");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArrayList>("takenBefore");
    QTest::addColumn<QByteArrayList>("flushed");

    QTest::newRow("nothing") << QByteArray() << QByteArray() << QByteArrayList{}
                             << QByteArrayList{};
    QTest::newRow("unterminated rest after a zero byte")
        << QByteArray()
        << bytes("1\0"
                 "700",
                 5)
        << QByteArrayList{"1"} << QByteArrayList{"700"};
    QTest::newRow("complete replies still held, then the rest")
        << QByteArray()
        << bytes("\0"
                 "500\0"
                 "1000\0"
                 "12",
                 12)
        << QByteArrayList{} << QByteArrayList{"500", "1000", "12"};
    QTest::newRow("long unterminated rest in pieces")
        << QByteArray() << bytes("\0", 1) + run(300, 'q') << QByteArrayList{run(255, 'q')}
        << QByteArrayList{run(45, 'q')};
    QTest::newRow("ends with a zero byte")
        << QByteArray() << bytes("9\0", 2) << QByteArrayList{"9"} << QByteArrayList{};
    QTest::newRow("a held tail and bytes without a zero after it are two replies")
        << QByteArray("700") << QByteArray("1000") << QByteArrayList{}
        << QByteArrayList{"700", "1000"};
    QTest::newRow("a held tail joined by its zero byte, then the rest")
        << QByteArray("start recei")
        << bytes("ving image file\0"
                 "12",
                 18)
        << QByteArrayList{"start receiving image file"} << QByteArrayList{"12"};
}

void TestReplyStream::flushAtClose() {
    QFETCH(QByteArray, held);
    QFETCH(QByteArray, received);
    QFETCH(QByteArrayList, takenBefore);
    QFETCH(QByteArrayList, flushed);

    ReplyStream stream;
    stream.feed(held.constData(), held.size(), T0);
    QVERIFY(!stream.takeReply(false, T0));
    const Clock::time_point now = T0 + milliseconds(1);
    stream.feed(received.constData(), received.size(), now);
    QByteArrayList taken;
    // Only what is complete while the connection is open; the rest waits for the close.
    for (qsizetype i = 0; i < takenBefore.size(); ++i) {
        auto reply = stream.takeReply(true, now);
        QVERIFY(reply);
        taken.append(*reply);
    }
    QCOMPARE(taken, takenBefore);
    QCOMPARE(stream.flushAtClose(), flushed);
    QCOMPARE(stream.pendingBytes(), qsizetype(0));
    QVERIFY(!stream.takeReply(false, now + ReplyStream::TailQuietTime));
}

void TestReplyStream::byteByByteKeepsRepliesWhole() {
    // Once the encoder has ended a reply with a zero byte, bytes that trickle in one by one,
    // with nothing behind them, are still gathered into whole replies.
    const QByteArray wire = bytes("1\0start receiving image file\0"
                                  "1000\0",
                                  34);
    ReplyStream stream;
    QByteArrayList taken;
    Clock::time_point now = T0;
    for (char c : wire) {
        now += milliseconds(1);
        stream.feed(&c, 1, now);
        while (auto reply = stream.takeReply(false, now))
            taken.append(*reply);
    }
    QCOMPARE(taken, (QByteArrayList{"1", "start receiving image file", "1000"}));
    QCOMPARE(stream.pendingBytes(), qsizetype(0));
}

// A held tail is due TailQuietTime after its last byte came, not after the first.
void TestReplyStream::heldTailIsDueAfterTheQuietTime() {
    ReplyStream stream;
    stream.feed("51", 2, T0);
    QVERIFY(!stream.takeReply(false, T0));
    QVERIFY(stream.tailDue() == T0 + ReplyStream::TailQuietTime);

    const Clock::time_point later = T0 + milliseconds(30);
    stream.feed("2", 1, later);
    QCOMPARE(stream.takeReply(false, later).value_or("none"), QByteArray("51"));
    QVERIFY(!stream.takeReply(false, later));
    QVERIFY(stream.tailDue() == later + ReplyStream::TailQuietTime);
    QVERIFY(!stream.takeReply(false, later + ReplyStream::TailQuietTime - milliseconds(1)));
    QCOMPARE(stream.takeReply(false, later + ReplyStream::TailQuietTime).value_or("none"),
             QByteArray("2"));
    QVERIFY(!stream.tailDue());

    // After a zero byte, a tail waits for its own: none is held, none is due.
    stream.feed("7\0"
                "8",
                3, later + milliseconds(200));
    QCOMPARE(stream.takeReply(false, later + milliseconds(200)).value_or("none"), QByteArray("7"));
    QVERIFY(!stream.takeReply(false, later + std::chrono::seconds(10)));
    QVERIFY(!stream.tailDue());
}

void TestReplyStream::bufferStaysBoundedUnderAFlood() {
    ReplyStream stream;
    const QByteArray chunk = bytes("\0", 1) + run(4095, 'f');
    qsizetype takenBytes = 0;
    for (int i = 0; i < 1000; ++i) {
        stream.feed(chunk.constData(), chunk.size(), T0);
        while (auto reply = stream.takeReply(true, T0)) {
            QVERIFY(reply->size() <= 255);
            takenBytes += reply->size();
        }
        QVERIFY(stream.pendingBytes() < 255);
    }
    QCOMPARE(takenBytes + stream.pendingBytes(), qsizetype(1000) * 4095);
}

QTEST_APPLESS_MAIN(TestReplyStream)
#include "tst_reply_stream.moc"
