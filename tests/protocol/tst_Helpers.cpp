// Checksum, hex text, data types and the upper-casing of names.

#include <modZeva.h>

#include <QTest>

#include <string>
#include <vector>

using namespace modZeva;

namespace {

std::vector<std::uint8_t> Bytes(const QByteArray& hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

QByteArray Utf8(const std::string& s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

class TestHelpers : public QObject {
    Q_OBJECT

private slots:
    void calcBcc_data();
    void calcBcc();
    void bytesToHex_data();
    void bytesToHex();
    void wireHex_data();
    void wireHex();
    void parseWhole_data();
    void parseWhole();
    void directName_data();
    void directName();
    void upperCase_data();
    void upperCase();
};

void TestHelpers::calcBcc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("bcc");

    QTest::newRow("read header") << QByteArray("564F524E2D4B454C54550000003300000E0000") << 0 << 18 << 0x38;
    QTest::newRow("status header") << QByteArray("564F524E2D4B454C5455000000330000060000") << 0 << 18 << 0x30;
    QTest::newRow("sum exactly 256") << QByteArray("80403F01") << 0 << 3 << 0x00;
    QTest::newRow("wraps twice") << QByteArray("FFFFFF") << 0 << 2 << 0xFD;
    QTest::newRow("one byte") << QByteArray("AB") << 0 << 0 << 0xAB;
    QTest::newRow("inner range only") << QByteArray("FF0102FF") << 1 << 2 << 0x03;
}

void TestHelpers::calcBcc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, bcc);
    const auto data = Bytes(bytes);
    QCOMPARE(int(CalcBcc(data, std::size_t(from), std::size_t(to))), bcc);
}

void TestHelpers::bytesToHex_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("state word") << QByteArray("000000000000000000000102") << 10 << 2 << QByteArray("0201");
    QTest::newRow("word value") << QByteArray("3412") << 0 << 2 << QByteArray("1234");
    QTest::newRow("dword value") << QByteArray("0A000000") << 0 << 4 << QByteArray("0000000A");
    QTest::newRow("upper case, padded") << QByteArray("0AFFbc") << 0 << 3 << QByteArray("BCFF0A");
    QTest::newRow("count 0") << QByteArray("1234") << 1 << 0 << QByteArray("");
}

void TestHelpers::bytesToHex()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(QByteArray, text);
    const auto data = Bytes(bytes);
    QCOMPARE(Utf8(BytesToHex(data, std::size_t(start), std::size_t(count))), text);
}

// Frames in traces and logs: wire order, with or without a separator; and
// numbers padded to a width but never cut.
void TestHelpers::wireHex_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<char>("separator");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("joined") << QByteArray("564f00ff") << '\0' << QByteArray("564F00FF");
    QTest::newRow("spaced") << QByteArray("564f00ff") << ' ' << QByteArray("56 4F 00 FF");
    QTest::newRow("one byte spaced") << QByteArray("0a") << ' ' << QByteArray("0A");
    QTest::newRow("none") << QByteArray() << ' ' << QByteArray();
}

void TestHelpers::wireHex()
{
    QFETCH(QByteArray, bytes);
    QFETCH(char, separator);
    QFETCH(QByteArray, text);
    QCOMPARE(Utf8(BytesToHex(Bytes(bytes), separator)), text);
    QCOMPARE(Utf8(NumberToHex(0xB1, 2)), QByteArray("B1"));
    QCOMPARE(Utf8(NumberToHex(0x1234, 2)), QByteArray("1234"));
    QCOMPARE(Utf8(NumberToHex(0, 4)), QByteArray("0000"));
    QCOMPARE(Utf8(NumberToHex(0xFFFFFFFFFFFFFFFF, 0)), QByteArray("FFFFFFFFFFFFFFFF"));
}

void TestHelpers::parseWhole_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("zerosRefused");
    QTest::addColumn<qint64>("value"); // -1: refused

    QTest::newRow("plain") << QByteArray("2004") << true << 2004LL;
    QTest::newRow("zero alone") << QByteArray("0") << true << 0LL;
    QTest::newRow("leading zero taken") << QByteArray("02004") << false << 2004LL;
    QTest::newRow("leading zero refused") << QByteArray("02004") << true << -1LL;
    QTest::newRow("over the range") << QByteArray("65536") << false << -1LL;
    QTest::newRow("sign") << QByteArray("+1") << false << -1LL;
    QTest::newRow("space") << QByteArray(" 1") << false << -1LL;
    QTest::newRow("empty") << QByteArray() << false << -1LL;
}

void TestHelpers::parseWhole()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, zerosRefused);
    QFETCH(qint64, value);
    const auto v = ParseWhole({text.constData(), std::size_t(text.size())}, 0, 65535, 10,
                              zerosRefused ? LeadingZeros::Refused : LeadingZeros::Allowed);
    QCOMPARE(v ? qint64(*v) : -1LL, value);
}

void TestHelpers::directName_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("size");

    QTest::newRow("%MW0") << QByteArray("%MW0") << 2 << 2;
    QTest::newRow("%mw0") << QByteArray("%mw0") << 2 << 2;
    QTest::newRow("%MB12") << QByteArray("%MB12") << 1 << 1;
    QTest::newRow("%MD0") << QByteArray("%MD0") << 3 << 4;
    QTest::newRow("%ML0") << QByteArray("%ML0") << 4 << 8;
    QTest::newRow("%MX0") << QByteArray("%MX0") << 0 << 0;
    QTest::newRow("%M") << QByteArray("%M") << 0 << 0;
    QTest::newRow("empty") << QByteArray("") << 0 << 0;
}

void TestHelpers::directName()
{
    QFETCH(QByteArray, typed);
    QFETCH(int, type);
    QFETCH(int, size);
    const DataType t = TypeFromDirectName(UpperCase(typed.toStdString()));
    QCOMPARE(int(t), type);
    QCOMPARE(TypeSize(t), size);
}

void TestHelpers::upperCase_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("upper");

    QTest::newRow("empty") << QByteArray("") << QByteArray("");
    QTest::newRow("ascii") << QByteArray("%mw0 abc_XYZ z") << QByteArray("%MW0 ABC_XYZ Z");
    QTest::newRow("latin-1 letters") << QByteArray("\xC3\xA0\xC3\xA9\xC3\xBE") << QByteArray("\xC3\x80\xC3\x89\xC3\x9E");
    QTest::newRow("division sign stays") << QByteArray("\xC3\xB7") << QByteArray("\xC3\xB7");
    QTest::newRow("sharp s stays") << QByteArray("\xC3\x9F") << QByteArray("\xC3\x9F");
    QTest::newRow("y diaeresis") << QByteArray("\xC3\xBF") << QByteArray("\xC5\xB8");
    QTest::newRow("micro sign") << QByteArray("\xC2\xB5") << QByteArray("\xCE\x9C");
    QTest::newRow("hangul stays") << QByteArray("\xEA\xB0\x80x") << QByteArray("\xEA\xB0\x80X");
    QTest::newRow("greek stays") << QByteArray("\xCE\xB1") << QByteArray("\xCE\xB1");
    QTest::newRow("invalid byte kept") << QByteArray("a\xFF" "b") << QByteArray("A\xFF" "B");
    QTest::newRow("cut sequence kept") << QByteArray("a\xC3") << QByteArray("A\xC3");
    QTest::newRow("overlong kept") << QByteArray("\xC1\xA1" "a") << QByteArray("\xC1\xA1" "A");
    QTest::newRow("lone continuation kept") << QByteArray("\xA9" "e") << QByteArray("\xA9" "E");
}

void TestHelpers::upperCase()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, upper);
    QCOMPARE(Utf8(UpperCase(std::string(text.constData(), std::size_t(text.size())))), upper);
}

QTEST_GUILESS_MAIN(TestHelpers)
#include "tst_Helpers.moc"
