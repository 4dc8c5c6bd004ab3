// Decoding of responses and the device error texts.

#include <Fakes.h>
#include <modZeva.h>

#include <QTest>

#include <vector>

using namespace modZeva;

namespace {

// Response header with the state word 01 02 (shown as 0201). The company id,
// length and checksum of a response are not examined.
#define HDR "564F524E2D4B454C5455" "0102" "0011" "0000" "0000" "0000"

std::vector<std::uint8_t> Bytes(const QByteArray& hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

QByteArray Q(const std::string& s)
{
    return QByteArray::fromStdString(s);
}

const QByteArray kReadWord = HDR "5500020000000000" "0100" "0200" "3412";
const QByteArray kReadDword = HDR "5500030000000000" "0100" "0400" "0A000000";
const QByteArray kReadNone = HDR "5500000000000000" "0100" "0000";
const QByteArray kStatusOk = HDR "B100000000000000" "0000" "0102030405060708090A0B0C0D0E0F1011121314";
const QByteArray kReadError = HDR "550002000000" "FFFF" "2100";
const QByteArray kStatusError = HDR "B10000000000" "2200";
const QByteArray kWriteError = HDR "590002000000" "FFFF" "0500";
const QByteArray kWriteOk = HDR "5900020000000000";

} // namespace

Q_DECLARE_METATYPE(modZeva::AnswerKind)

class TestDecode : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void truncated_data();
    void truncated();
    void errorText_data();
    void errorText();
    void showErrorCode();
};

void TestDecode::decode_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<AnswerKind>("kind");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("read WORD") << kReadWord << 2 << AnswerKind::Read << 0 << QByteArray("1234");
    QTest::newRow("read DWORD") << kReadDword << 4 << AnswerKind::Read << 0 << QByteArray("0000000A");
    QTest::newRow("read, DataSize 0") << kReadNone << 0 << AnswerKind::Read << 0 << QByteArray("");
    QTest::newRow("read, negative DataSize") << kReadNone << -1 << AnswerKind::Read << 0 << QByteArray("");
    QTest::newRow("read, shows DataSize bytes") << kReadDword << 2 << AnswerKind::Read << 0 << QByteArray("000A");
    QTest::newRow("status") << kStatusOk << 2 << AnswerKind::Status << 0
                            << QByteArray("14131211100F0E0D0C0B0A090807060504030201");
    QTest::newRow("read error, code from 28") << kReadError << 2 << AnswerKind::DeviceError << 0x21 << QByteArray("");
    QTest::newRow("status error, code from 26") << kStatusError << 2 << AnswerKind::DeviceError << 0x22 << QByteArray("");
    QTest::newRow("write error, code 5") << kWriteError << 2 << AnswerKind::DeviceError << 5 << QByteArray("");
    QTest::newRow("code FFFF unsigned") << QByteArray(HDR "550002000000" "0100" "FFFF") << 2
                                        << AnswerKind::DeviceError << 0xFFFF << QByteArray("");
    QTest::newRow("only byte 27 set") << QByteArray(HDR "B10000000000" "0001") << 2
                                      << AnswerKind::DeviceError << 0x100 << QByteArray("");
    QTest::newRow("write answer") << kWriteOk << 2 << AnswerKind::Other << 0 << QByteArray("");
    QTest::newRow("unknown command") << QByteArray(HDR "7700000000000000" "00000000") << 2
                                     << AnswerKind::Other << 0 << QByteArray("");
    // Byte 13 is not the device's: a request echoed back, or anything else.
    QTest::newRow("direction 0x33") << QByteArray("564F524E2D4B454C5455" "0102" "0033" "0000" "0E00" "0000"
                                                  "5500020000000000" "0100" "0200" "3412")
                                    << 2 << AnswerKind::Malformed << 0 << QByteArray("");
}

void TestDecode::decode()
{
    QFETCH(QByteArray, response);
    QFETCH(int, dataSize);
    QFETCH(AnswerKind, kind);
    QFETCH(int, errorCode);
    QFETCH(QByteArray, value);

    const auto bytes = Bytes(response);
    const Answer a = DecodeResponse(bytes, dataSize);
    QCOMPARE(a.kind, kind);
    QVERIFY(a.stateText.has_value());
    QCOMPARE(Q(*a.stateText), QByteArray("0201"));
    QCOMPARE(int(a.errorCode), errorCode);
    QCOMPARE(Q(a.valueText), value);
}

void TestDecode::truncated_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("needed");

    QTest::newRow("read WORD") << kReadWord << 2 << 34;
    QTest::newRow("read DWORD") << kReadDword << 4 << 36;
    QTest::newRow("read, DataSize 0") << kReadNone << 0 << 32;
    QTest::newRow("status") << kStatusOk << 2 << 50;
    QTest::newRow("read error") << kReadError << 2 << 30;
    QTest::newRow("write error") << kWriteError << 2 << 30;
    QTest::newRow("status error") << kStatusError << 2 << 28;
    QTest::newRow("write answer") << kWriteOk << 2 << 28;
}

void TestDecode::truncated()
{
    QFETCH(QByteArray, response);
    QFETCH(int, dataSize);
    QFETCH(int, needed);

    const auto full = Bytes(response);
    QCOMPARE(int(full.size()), needed);
    QVERIFY(DecodeResponse(full, dataSize).kind != AnswerKind::Malformed);

    for (int len = 0; len < needed; ++len) {
        // A buffer of exactly this size, so that a read past it is caught.
        const std::vector<std::uint8_t> prefix(full.begin(), full.begin() + len);
        const Answer a = DecodeResponse(prefix, dataSize);
        QCOMPARE(a.kind, AnswerKind::Malformed);
        QCOMPARE(a.stateText.has_value(), len >= 12);
        if (a.stateText)
            QCOMPARE(Q(*a.stateText), QByteArray("0201"));
        QVERIFY(a.valueText.empty());
    }
}

void TestDecode::errorText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("0x21") << 0x21 << QByteArray("지정된 변수가 엑세스 경로에 정의되어있지 않습니다.");
    QTest::newRow("0x22") << 0x22 << QByteArray("Struct 오류 또는 Out or Range 오류가 발생하였습니다.");
    QTest::newRow("0x24") << 0x24 << QByteArray("데이타 TYPE 오류가 발생하였습니다.");
    QTest::newRow("0x71") << 0x71 << QByteArray("데이타 길이가 최대값을 초과하였습니다.");
    QTest::newRow("0x73") << 0x73 << QByteArray("엑세스 제어권 오류가 발생하였습니다.");
    QTest::newRow("5") << 5 << QByteArray("오류가 발생하였습니다. 오류번호:5");
    QTest::newRow("0") << 0 << QByteArray("오류가 발생하였습니다. 오류번호:0");
    QTest::newRow("0x23") << 0x23 << QByteArray("오류가 발생하였습니다. 오류번호:35");
    QTest::newRow("0x2100") << 0x2100 << QByteArray("오류가 발생하였습니다. 오류번호:8448");
    QTest::newRow("0xFFFF") << 0xFFFF << QByteArray("오류가 발생하였습니다. 오류번호:65535");
}

void TestDecode::errorText()
{
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    QCOMPARE(Q(ErrorText(std::uint16_t(code))), text);
}

void TestDecode::showErrorCode()
{
    FakeMessageBox box;
    ShowErrorCode(box, 0x24);
    ShowErrorCode(box, 0xFFFF);
    QCOMPARE(box.shown.size(), std::size_t(2));
    QCOMPARE(Q(box.shown[0].text), QByteArray("데이타 TYPE 오류가 발생하였습니다."));
    QCOMPARE(Q(box.shown[0].title), QByteArray("오류"));
    QCOMPARE(Q(box.shown[1].text), QByteArray("오류가 발생하였습니다. 오류번호:65535"));
    QCOMPARE(Q(box.shown[1].title), QByteArray("오류"));
}

QTEST_GUILESS_MAIN(TestDecode)
#include "tst_Decode.moc"
