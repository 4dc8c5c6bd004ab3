// The request builders: exact frames, the shared header, refusals, and the
// send buffer that never grows once made.

#include <Fakes.h>
#include <modZeva.h>

#include <QTest>

#include <string>

using namespace modZeva;

namespace {

enum Op { Read, Write, Status };

QByteArray Frame(std::span<const std::uint8_t> bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

std::string Str(const QByteArray& a)
{
    return std::string(a.constData(), std::size_t(a.size()));
}

struct Rig {
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBox box;
    Sender sender{socket, clock, box};

    Rig() { sender.MakeHeader(); }

    SendResult Run(int op, const QByteArray& name, const QByteArray& value, int type)
    {
        switch (op) {
        case Read: return sender.SendReadRequest(Str(name), type);
        case Write: return sender.SendWriteRequest(Str(name), Str(value), type);
        default: return sender.SendStatusRequest();
        }
    }
};

const QByteArray kReadMW0 = QByteArray::fromHex("564F524E2D4B454C54550000003300000E000038"
                                                "54000200000001000400254D5730");

} // namespace

Q_DECLARE_METATYPE(modZeva::SendResult)

class TestRequests : public QObject {
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void headerSurvivesResize();
    void largestFramesDoNotAllocate();
    void refusals_data();
    void refusals();
};

void TestRequests::frames_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("read %MW0") << int(Read) << QByteArray("%MW0") << QByteArray() << 2 << kReadMW0;
    QTest::newRow("status") << int(Status) << QByteArray() << QByteArray() << 0
                            << QByteArray::fromHex("564F524E2D4B454C545500000033000006000030"
                                                   "B00000000000");
    QTest::newRow("write %MW0 1234") << int(Write) << QByteArray("%MW0") << QByteArray("1234") << 2
                                     << QByteArray::fromHex("564F524E2D4B454C54550000003300001200003C"
                                                            "58000200000001000400254D573002003412");
    QTest::newRow("write %MD10 123") << int(Write) << QByteArray("%MD10") << QByteArray("123") << 3
                                     << QByteArray::fromHex("564F524E2D4B454C54550000003300001500003F"
                                                            "58000300000001000500254D44313004002301" "0000");
    QTest::newRow("write ff as BYTE") << int(Write) << QByteArray("%MB0") << QByteArray("ff") << 1
                                      << QByteArray::fromHex("564F524E2D4B454C54550000003300001100003B"
                                                             "58000100000001000400254D42300100FF");
    QTest::newRow("write LWORD, mixed case") << int(Write) << QByteArray("%ML0") << QByteArray("123456789aBcDeF0") << 4
                                             << QByteArray::fromHex("564F524E2D4B454C545500000033000018000042"
                                                                    "58000400000001000400254D4C30" "0800"
                                                                    "F0DEBC9A78563412");
    QTest::newRow("write single digit") << int(Write) << QByteArray("%MW0") << QByteArray("7") << 2
                                        << QByteArray::fromHex("564F524E2D4B454C54550000003300001200003C"
                                                               "58000200000001000400254D573002000700");
    QTest::newRow("read type 0 sent as is") << int(Read) << QByteArray("%MX0") << QByteArray() << 0
                                            << QByteArray::fromHex("564F524E2D4B454C54550000003300000E000038"
                                                                   "54000000000001000400254D5830");
    QTest::newRow("read named DWORD") << int(Read) << QByteArray("ABC") << QByteArray() << 3
                                      << QByteArray::fromHex("564F524E2D4B454C54550000003300000D000037"
                                                             "5400030000000100030041424" "3");
    // A Latin-1 letter travels as its one-byte code: Ä (UTF-8 C3 84) is C4.
    QTest::newRow("read latin-1 name") << int(Read) << QByteArray("%MW\xC3\x84") << QByteArray() << 2
                                       << QByteArray::fromHex("564F524E2D4B454C54550000003300000E000038"
                                                              "54000200000001000400254D57C4");
}

void TestRequests::frames()
{
    QFETCH(int, op);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(int, type);
    QFETCH(QByteArray, frame);

    Rig rig;
    rig.clock.now = 12345;
    QCOMPARE(rig.sender.SendTick(), 0);
    QCOMPARE(rig.Run(op, name, value, type), SendResult::Sent);
    QCOMPARE(rig.socket.sent.size(), std::size_t(1));
    QCOMPARE(Frame(rig.socket.sent.front()), frame);
    QCOMPARE(rig.sender.SendTick(), 12345);
    QVERIFY(rig.box.shown.empty());
}

void TestRequests::headerSurvivesResize()
{
    Rig rig;
    QCOMPARE(rig.sender.SendWriteRequest(std::string(200, 'A'), "FFFFFFFFFFFFFFFF", LWord), SendResult::Sent);
    const QByteArray longFrame = Frame(rig.socket.sent.back());
    QCOMPARE(rig.sender.SendReadRequest("%MW0", Word), SendResult::Sent);
    QCOMPARE(Frame(rig.socket.sent.back()), kReadMW0);

    // Only the length byte and the checksum differ between the two headers.
    for (int i = 0; i < 20; ++i) {
        if (i == 16 || i == 19)
            QVERIFY(longFrame[i] != kReadMW0[i]);
        else
            QCOMPARE(longFrame[i], kReadMW0[i]);
    }
    QCOMPARE(rig.sender.SendStatusRequest(), SendResult::Sent);
    QCOMPARE(Frame(rig.socket.sent.back()).toHex().toUpper(),
             QByteArray("564F524E2D4B454C545500000033000006000030B00000000000"));
}

void TestRequests::largestFramesDoNotAllocate()
{
    Rig rig;
    // A vector that grows allocates its new storage while the old one is
    // still held, so an unchanged address means no allocation took place.
    const std::uint8_t* const storage = rig.sender.SendBuf().data();

    // Read: n = 245 gives a body of 255 bytes.
    QCOMPARE(rig.sender.SendReadRequest(std::string(245, 'N'), Byte), SendResult::Sent);
    QCOMPARE(rig.socket.sent.back().size(), std::size_t(275));
    QCOMPARE(int(rig.socket.sent.back()[16]), 255);
    QCOMPARE(int(rig.socket.sent.back()[17]), 0);
    QCOMPARE(rig.sender.SendBuf().data(), storage);

    // Write: n + size = 243 gives a body of 255 bytes.
    QCOMPARE(rig.sender.SendWriteRequest(std::string(235, 'N'), "1", LWord), SendResult::Sent);
    QCOMPARE(rig.socket.sent.back().size(), std::size_t(275));
    QCOMPARE(int(rig.socket.sent.back()[16]), 255);
    QCOMPARE(rig.sender.SendBuf().data(), storage);

    QCOMPARE(rig.sender.SendStatusRequest(), SendResult::Sent);
    QCOMPARE(rig.sender.SendReadRequest(std::string(245, 'N'), Byte), SendResult::Sent);
    QCOMPARE(rig.sender.SendBuf().data(), storage);
}

void TestRequests::refusals_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("type");
    QTest::addColumn<SendResult>("result");
    QTest::addColumn<QByteArray>("text"); // empty: no message

    const QByteArray tooLong = "입력한 데이타 길이가 최대값을 초과하였습니다.";
    const QByteArray notHex = "입력한 값이 16진수가 아닙니다.";
    const QByteArray badChar = "변수 이름에 사용할 수 없는 문자가 있습니다.";
    const QByteArray hangul = "\xEA\xB0\x80"; // U+AC00

    QTest::newRow("read, empty name") << int(Read) << QByteArray() << QByteArray() << 2 << SendResult::Empty << QByteArray();
    QTest::newRow("write, empty name") << int(Write) << QByteArray() << QByteArray("12") << 2 << SendResult::Empty << QByteArray();
    QTest::newRow("write, empty value") << int(Write) << QByteArray("%MW0") << QByteArray() << 2 << SendResult::Empty << QByteArray();
    QTest::newRow("write, empty name before not hex") << int(Write) << QByteArray() << QByteArray("zz") << 2 << SendResult::Empty << QByteArray();

    QTest::newRow("write, G") << int(Write) << QByteArray("%MW0") << QByteArray("12G4") << 2 << SendResult::NotHex << notHex;
    QTest::newRow("write, 0x prefix") << int(Write) << QByteArray("%MW0") << QByteArray("0x12") << 2 << SendResult::NotHex << notHex;
    QTest::newRow("write, space") << int(Write) << QByteArray("%MW0") << QByteArray(" 12") << 2 << SendResult::NotHex << notHex;
    QTest::newRow("write, minus") << int(Write) << QByteArray("%MW0") << QByteArray("-1") << 2 << SendResult::NotHex << notHex;
    QTest::newRow("write, full-width digit") << int(Write) << QByteArray("%MW0") << QByteArray("\xEF\xBC\x91") << 2 << SendResult::NotHex << notHex;
    QTest::newRow("write, not hex before too long") << int(Write) << QByteArray("%MB0") << QByteArray("GGGGGG") << 1 << SendResult::NotHex << notHex;
    QTest::newRow("write, not hex before bad name") << int(Write) << hangul << QByteArray("G") << 1 << SendResult::NotHex << notHex;

    QTest::newRow("write 100 as BYTE") << int(Write) << QByteArray("%MB0") << QByteArray("100") << 1 << SendResult::TooLongForType << tooLong;
    QTest::newRow("write 5 bytes as DWORD") << int(Write) << QByteArray("%MD0") << QByteArray("123456789") << 3 << SendResult::TooLongForType << tooLong;
    QTest::newRow("write type 0") << int(Write) << QByteArray("%MX0") << QByteArray("1") << 0 << SendResult::TooLongForType << tooLong;
    QTest::newRow("write, type before body") << int(Write) << QByteArray(250, 'N') << QByteArray("100") << 1 << SendResult::TooLongForType << tooLong;

    QTest::newRow("read, n 246") << int(Read) << QByteArray(246, 'N') << QByteArray() << 2 << SendResult::BodyTooLong << tooLong;
    QTest::newRow("write, n + size 244") << int(Write) << QByteArray(243, 'N') << QByteArray("1") << 1 << SendResult::BodyTooLong << tooLong;
    QTest::newRow("write, LWORD n 236") << int(Write) << QByteArray(236, 'N') << QByteArray("1") << 4 << SendResult::BodyTooLong << tooLong;
    QTest::newRow("read, body before bad name") << int(Read) << hangul.repeated(246) << QByteArray() << 2 << SendResult::BodyTooLong << tooLong;

    QTest::newRow("read, hangul") << int(Read) << QByteArray("%MW") + hangul << QByteArray() << 2 << SendResult::BadNameChar << badChar;
    QTest::newRow("read, Y diaeresis") << int(Read) << QByteArray("%MW\xC5\xB8") << QByteArray() << 2 << SendResult::BadNameChar << badChar;
    QTest::newRow("read, invalid UTF-8") << int(Read) << QByteArray("%MW\xFF") << QByteArray() << 2 << SendResult::BadNameChar << badChar;
    QTest::newRow("read, cut UTF-8") << int(Read) << QByteArray("%MW\xC3") << QByteArray() << 2 << SendResult::BadNameChar << badChar;
    QTest::newRow("read, NUL") << int(Read) << QByteArray("%M\0" "0", 4) << QByteArray() << 2 << SendResult::BadNameChar << badChar;
    QTest::newRow("write, hangul") << int(Write) << hangul << QByteArray("1") << 1 << SendResult::BadNameChar << badChar;
}

void TestRequests::refusals()
{
    QFETCH(int, op);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(int, type);
    QFETCH(SendResult, result);
    QFETCH(QByteArray, text);

    Rig rig;
    rig.clock.now = 500;
    QCOMPARE(rig.sender.SendStatusRequest(), SendResult::Sent);
    const QByteArray before = Frame(rig.sender.SendBuf());
    rig.socket.sent.clear();
    rig.clock.now = 900;

    QCOMPARE(rig.Run(op, name, value, type), result);
    QVERIFY(rig.socket.sent.empty());
    QCOMPARE(rig.sender.SendTick(), 500);
    QCOMPARE(Frame(rig.sender.SendBuf()), before);
    if (text.isEmpty()) {
        QVERIFY(rig.box.shown.empty());
    } else {
        QCOMPARE(rig.box.shown.size(), std::size_t(1));
        QCOMPARE(QByteArray::fromStdString(rig.box.shown[0].text), text);
        QCOMPARE(QByteArray::fromStdString(rig.box.shown[0].title), QByteArray("Zeva Client"));
    }
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_Requests.moc"
