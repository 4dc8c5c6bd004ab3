// The builders on their own: the sequence number in bytes 14..15 under the
// checksum, an explicit data size, a hand-given body with its length in bytes
// 16..17, and a refusal that leaves the caller's frame as it was.

#include <Requests.h>

#include <QTest>

using namespace modZeva;

namespace {

enum Op { Read, Write, Status, Body };

QByteArray Bytes(const std::vector<std::uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

} // namespace

class TestBuilders : public QObject {
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void refusalKeepsFrame();
};

void TestBuilders::frames_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("seq");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("read %MW0, seq 0x0102") << int(Read) << QByteArray("%MW0") << QByteArray() << 2 << 0 << 0x0102
                                           << QByteArray::fromHex("564F524E2D4B454C54550000003302010E00003B"
                                                                  "54000200000001000400254D5730");
    // 0x30 + 0xFF + 0xFF wraps twice.
    QTest::newRow("status, seq 0xFFFF") << int(Status) << QByteArray() << QByteArray() << 0 << 0 << 0xFFFF
                                        << QByteArray::fromHex("564F524E2D4B454C545500000033FFFF0600002E"
                                                               "B00000000000");
    // Type code 0 with one data byte, as a bit travels.
    QTest::newRow("write %MX0 1, size 1, seq 1") << int(Write) << QByteArray("%MX0") << QByteArray("1") << 0 << 1 << 1
                                                 << QByteArray::fromHex("564F524E2D4B454C54550000003301001100003C"
                                                                        "58000000000001000400254D5830010001");
    // The status body by hand: the same frame as the status builder's.
    QTest::newRow("body B0 00 00 00 00 00, seq 1") << int(Body) << QByteArray() << QByteArray::fromHex("B00000000000")
                                                   << 0 << 0 << 1
                                                   << QByteArray::fromHex("564F524E2D4B454C545500000033010006000031"
                                                                          "B00000000000");
    QTest::newRow("body of 300 bytes, seq 2") << int(Body) << QByteArray() << QByteArray(300, '\xAA') << 0 << 0 << 2
                                              << QByteArray::fromHex("564F524E2D4B454C54550000003302002C010059")
                                                     + QByteArray(300, '\xAA');
}

void TestBuilders::frames()
{
    QFETCH(int, op);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(int, type);
    QFETCH(int, size);
    QFETCH(int, seq);
    QFETCH(QByteArray, frame);

    std::vector<std::uint8_t> buf;
    MakeHeader(buf);
    // A long frame first: the next one must not keep anything of it.
    QCOMPARE(BuildWriteRequest(buf, std::string(200, 'A'), "FF", 4, 8, 0xABCD), SendResult::Sent);
    // And one whose length needs byte 17.
    QCOMPARE(BuildBodyRequest(buf, std::vector<std::uint8_t>(400, 0xEE), 0xABCD), SendResult::Sent);

    const auto s = static_cast<std::uint16_t>(seq);
    const std::string n = name.toStdString(), v = value.toStdString();
    switch (op) {
    case Read: QCOMPARE(BuildReadRequest(buf, n, type, s), SendResult::Sent); break;
    case Write: QCOMPARE(BuildWriteRequest(buf, n, v, type, std::size_t(size), s), SendResult::Sent); break;
    case Body: QCOMPARE(BuildBodyRequest(buf, std::vector<std::uint8_t>(value.begin(), value.end()), s), SendResult::Sent); break;
    default: BuildStatusRequest(buf, s); break;
    }
    QCOMPARE(Bytes(buf), frame);
    QCOMPARE(FrameSequence(buf), std::optional<std::uint16_t>(s));
}

void TestBuilders::refusalKeepsFrame()
{
    std::vector<std::uint8_t> buf;
    MakeHeader(buf);
    QCOMPARE(BuildReadRequest(buf, "%MW0", 2, 7), SendResult::Sent);
    const QByteArray before = Bytes(buf);

    QCOMPARE(BuildWriteRequest(buf, "%MW0", "12G4", 2, 2, 8), SendResult::NotHex);
    QCOMPARE(BuildWriteRequest(buf, "%MB0", "100", 1, 1, 8), SendResult::TooLongForType);
    QCOMPARE(BuildReadRequest(buf, std::string(246, 'N'), 2, 8), SendResult::BodyTooLong);
    QCOMPARE(BuildReadRequest(buf, "%MW\xEA\xB0\x80", 2, 8), SendResult::BadNameChar);
    QCOMPARE(BuildBodyRequest(buf, std::vector<std::uint8_t>(65536, 0), 8), SendResult::BodyTooLong);
    QCOMPARE(Bytes(buf), before);
}

QTEST_GUILESS_MAIN(TestBuilders)
#include "tst_Builders.moc"
