// Values as numbers: a user's text read into a value's bytes and the same
// bytes shown again, for every format, and the texts each format refuses.

#include <ValueFormat.h>

#include <QTest>

using namespace modZeva;

class TestValueFormat : public QObject {
    Q_OBJECT

private slots:
    void bothWays_data();
    void bothWays();
};

void TestValueFormat::bothWays_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hex");   // the value, most significant digit first; empty: refused
    QTest::addColumn<QString>("shown"); // the value shown again; for a refusal, part of its message

    QTest::newRow("hex passes") << "hex" << 2 << "1234" << "1234" << "1234";
    QTest::newRow("unsigned byte max") << "unsigned" << 1 << "255" << "FF" << "255";
    QTest::newRow("unsigned lword max") << "unsigned" << 8 << "18446744073709551615" << "FFFFFFFFFFFFFFFF"
                                        << "18446744073709551615";
    QTest::newRow("unsigned leading zeros") << "unsigned" << 2 << "00042" << "002A" << "42";
    QTest::newRow("signed word -2") << "signed" << 2 << "-2" << "FFFE" << "-2";
    QTest::newRow("signed byte min") << "signed" << 1 << "-128" << "80" << "-128";
    QTest::newRow("signed dword max") << "signed" << 4 << "2147483647" << "7FFFFFFF" << "2147483647";
    QTest::newRow("signed lword min") << "signed" << 8 << "-9223372036854775808" << "8000000000000000"
                                      << "-9223372036854775808";
    QTest::newRow("float dword 1.5") << "float" << 4 << "1.5" << "3FC00000" << "1.5";
    QTest::newRow("float dword 0.1, shortest") << "float" << 4 << "0.1" << "3DCCCCCD" << "0.1";
    QTest::newRow("float lword 0.1, shortest") << "float" << 8 << "0.100" << "3FB999999999999A" << "0.1";
    QTest::newRow("float lword 1e300") << "float" << 8 << "1e300" << "7E37E43C8800759C" << "1e+300";
    QTest::newRow("float dword -inf") << "float" << 4 << "-inf" << "FF800000" << "-inf";
    QTest::newRow("binary word, groups") << "binary" << 2 << "1_0010_0011" << "0123" << "0000_0001_0010_0011";
    QTest::newRow("binary byte, no groups") << "binary" << 1 << "10100101" << "A5" << "1010_0101";
    QTest::newRow("binary zeros beyond the size") << "binary" << 1 << "0000_0000_1111_1111" << "FF" << "1111_1111";

    QTest::newRow("unsigned byte 256") << "unsigned" << 1 << "256" << "" << "'256' does not fit in 1 byte (0 to 255)";
    QTest::newRow("unsigned over 64 bits") << "unsigned" << 8 << "18446744073709551616" << ""
                                           << "does not fit in 8 bytes";
    QTest::newRow("unsigned negative") << "unsigned" << 2 << "-1" << "" << "'-1' is not an unsigned decimal number";
    QTest::newRow("signed word 32768") << "signed" << 2 << "32768" << ""
                                       << "'32768' does not fit in 2 bytes (-32768 to 32767)";
    QTest::newRow("signed byte -129") << "signed" << 1 << "-129" << "" << "(-128 to 127)";
    QTest::newRow("signed with letters") << "signed" << 2 << "12a" << "" << "'12a' is not a signed decimal number";
    QTest::newRow("signed empty") << "signed" << 2 << "" << "" << "is not a signed decimal number";
    QTest::newRow("float dword too large") << "float" << 4 << "1e39" << ""
                                           << "'1e39' is out of the range of a 4-byte float";
    QTest::newRow("float trailing text") << "float" << 4 << "1.5x" << "" << "'1.5x' is not a floating-point number";
    QTest::newRow("float word") << "float" << 2 << "1.5" << "" << "a value of 2 bytes has no float form";
    QTest::newRow("binary byte 9 bits") << "binary" << 1 << "1_0000_0000" << ""
                                        << "'1_0000_0000' does not fit in 1 byte (8 bits)";
    QTest::newRow("binary digit 2") << "binary" << 2 << "102" << "" << "'102' is not a binary number";
    QTest::newRow("binary doubled _") << "binary" << 2 << "10__01" << "" << "is not a binary number";
    QTest::newRow("binary leading _") << "binary" << 2 << "_1" << "" << "is not a binary number";
}

void TestValueFormat::bothWays()
{
    QFETCH(QString, format);
    QFETCH(int, size);
    QFETCH(QString, text);
    QFETCH(QString, hex);
    QFETCH(QString, shown);

    const std::optional<ValueFormat> f = ValueFormatFromName(format.toStdString());
    QVERIFY(f);
    std::string error;
    const std::optional<std::string> parsed = ParseValue(text.toStdString(), *f, std::size_t(size), &error);
    if (hex.isEmpty()) {
        QVERIFY(!parsed);
        QVERIFY2(QString::fromStdString(error).contains(shown), error.c_str());
        return;
    }
    QVERIFY2(parsed, error.c_str());
    QCOMPARE(QString::fromStdString(*parsed), hex);
    QCOMPARE(QString::fromStdString(FormatHexValue(hex.toStdString(), *f)), shown);
}

QTEST_GUILESS_MAIN(TestValueFormat)
#include "tst_ValueFormat.moc"
