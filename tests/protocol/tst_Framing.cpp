// Cutting a TCP byte stream into frames by the body length in bytes 16..17.

#include <Framing.h>

#include <QTest>

#include <vector>

using namespace modZeva;

namespace {

// A read answer (body 14), a status answer (body 30) and a frame without body.
const QByteArray kRead = QByteArray::fromHex("564F524E2D4B454C54550102001100000E000000"
                                             "5500020000000000010002003412");
const QByteArray kStatus = QByteArray::fromHex("564F524E2D4B454C54550000001100001E000000"
                                               "B1000000000000000000"
                                               "0102030405060708090A0B0C0D0E0F1011121314");
const QByteArray kEmptyBody = QByteArray::fromHex("564F524E2D4B454C5455000000110000000000AA");

std::span<const std::uint8_t> Span(const QByteArray& a)
{
    return {reinterpret_cast<const std::uint8_t*>(a.constData()), std::size_t(a.size())};
}

QByteArray Q(std::span<const std::uint8_t> s)
{
    return QByteArray(reinterpret_cast<const char*>(s.data()), qsizetype(s.size()));
}

// Takes every complete frame now held.
void Drain(FrameAssembler& fa, QByteArrayList& out)
{
    for (int guard = 0; guard < 100000; ++guard) {
        const auto frame = fa.Next();
        if (frame.empty())
            return;
        out << Q(frame);
    }
    QFAIL("Next() never ran dry");
}

// A frame with the given body length, its body counting up from 0.
QByteArray FrameWithBody(int bodyLength)
{
    QByteArray f = QByteArray::fromHex("564F524E2D4B454C5455000000110000000000AA");
    f[16] = char(bodyLength & 0xFF);
    f[17] = char(bodyLength >> 8);
    for (int i = 0; i < bodyLength; ++i)
        f.append(char(i));
    return f;
}

} // namespace

class TestFraming : public QObject {
    Q_OBJECT

private slots:
    void chunks_data();
    void chunks();
    void splitAtEveryByte();
    void byteByByte();
    void largestFrame();
    void steadyStateKeepsItsBuffer();
};

void TestFraming::chunks_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("frames");
    QTest::addColumn<int>("pending");

    QTest::newRow("one frame") << QByteArrayList{kRead} << QByteArrayList{kRead} << 0;
    QTest::newRow("two frames in one chunk") << QByteArrayList{kRead + kStatus} << QByteArrayList{kRead, kStatus} << 0;
    QTest::newRow("a frame and a half") << QByteArrayList{kRead + kStatus.left(25)} << QByteArrayList{kRead} << 25;
    QTest::newRow("the half completed") << QByteArrayList{kRead + kStatus.left(25), kStatus.mid(25)}
                                        << QByteArrayList{kRead, kStatus} << 0;
    QTest::newRow("header only so far") << QByteArrayList{kRead.left(19)} << QByteArrayList{} << 19;
    QTest::newRow("body length 0") << QByteArrayList{kEmptyBody} << QByteArrayList{kEmptyBody} << 0;
    QTest::newRow("body length 0 twice, then a frame")
        << QByteArrayList{kEmptyBody + kEmptyBody + kRead} << QByteArrayList{kEmptyBody, kEmptyBody, kRead} << 0;
    QTest::newRow("length high byte") << QByteArrayList{FrameWithBody(0x100)} << QByteArrayList{FrameWithBody(0x100)} << 0;
    QTest::newRow("length high byte, one short") << QByteArrayList{FrameWithBody(0x100).chopped(1)}
                                                 << QByteArrayList{} << 0x113;
    QTest::newRow("empty chunk") << QByteArrayList{QByteArray(), kRead, QByteArray()} << QByteArrayList{kRead} << 0;
}

void TestFraming::chunks()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, frames);
    QFETCH(int, pending);

    FrameAssembler fa;
    QByteArrayList got;
    for (const QByteArray& c : chunks) {
        fa.Feed(Span(c));
        Drain(fa, got);
    }
    QCOMPARE(got, frames);
    QCOMPARE(int(fa.Pending()), pending);
}

void TestFraming::splitAtEveryByte()
{
    const QByteArray stream = kRead + kStatus + kEmptyBody;
    for (int cut = 0; cut <= stream.size(); ++cut) {
        FrameAssembler fa;
        QByteArrayList got;
        fa.Feed(Span(stream.left(cut)));
        Drain(fa, got);
        fa.Feed(Span(stream.mid(cut)));
        Drain(fa, got);
        QCOMPARE(got, (QByteArrayList{kRead, kStatus, kEmptyBody}));
        QCOMPARE(int(fa.Pending()), 0);
    }
}

void TestFraming::byteByByte()
{
    const QByteArray stream = kRead + kEmptyBody + kStatus;
    FrameAssembler fa;
    QByteArrayList got;
    for (int i = 0; i < stream.size(); ++i) {
        fa.Feed(Span(stream.mid(i, 1)));
        Drain(fa, got);
        if (i == kRead.size() - 1)
            QCOMPARE(got, QByteArrayList{kRead});
    }
    QCOMPARE(got, (QByteArrayList{kRead, kEmptyBody, kStatus}));
    QCOMPARE(int(fa.Pending()), 0);
}

void TestFraming::largestFrame()
{
    const QByteArray largest = FrameWithBody(0xFFFF);
    QCOMPARE(largest.size(), 20 + 65535);

    FrameAssembler fa;
    QByteArrayList got;
    const QByteArray stream = largest + kRead;
    for (int at = 0; at < stream.size(); at += 4096) {
        fa.Feed(Span(stream.mid(at, 4096)));
        Drain(fa, got);
    }
    QCOMPARE(got.size(), 2);
    QVERIFY(got[0] == largest);
    QCOMPARE(got[1], kRead);
    QCOMPARE(int(fa.Pending()), 0);
}

void TestFraming::steadyStateKeepsItsBuffer()
{
    // Each round: the rest of a status answer, a read answer and the first
    // half of the next status answer.
    const QByteArray head = kStatus.left(30);
    const QByteArray chunk = kStatus.mid(30) + kRead + head;

    FrameAssembler fa;
    QByteArrayList got;
    fa.Feed(Span(head));
    fa.Feed(Span(chunk));
    Drain(fa, got);
    fa.Feed(Span(chunk));
    const std::uint8_t* const storage = fa.Next().data();
    Drain(fa, got);

    for (int round = 0; round < 50; ++round) {
        fa.Feed(Span(chunk));
        const auto first = fa.Next();
        // The frame starts at the front of the same storage every time: no
        // allocation, and nothing older than the unfinished frame is kept.
        QCOMPARE(first.data(), storage);
        QCOMPARE(Q(first), kStatus);
        QCOMPARE(Q(fa.Next()), kRead);
        QVERIFY(fa.Next().empty());
        QCOMPARE(int(fa.Pending()), head.size());
    }
}

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_Framing.moc"
