// The exchange record as CSV rows: times, empty fields, outcome names, and
// the device and the variable, quoted when they need it.

#include <ExchangeCsv.h>

#include <QTest>

#include <chrono>

using namespace std::chrono;

class tst_ExchangeCsv : public QObject {
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
};

void tst_ExchangeCsv::rows_data()
{
    QTest::addColumn<qint64>("micros"); // since 1970-01-01T00:00:00Z
    QTest::addColumn<int>("seq");
    QTest::addColumn<qint64>("rtt");    // -1: not timed
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("host"); // empty: no device
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("row");

    QTest::newRow("answer") << qint64(1796696907123456) << 7 << qint64(1234) << int(client::Outcome::Answer)
                            << "0000" << "1234" << "127.0.0.1" << 2004 << "%MW0"
                            << "2026-12-08T02:28:27.123456Z,7,1234,answer,0000,1234,127.0.0.1:2004,%MW0\n";
    QTest::newRow("device error") << qint64(1796696907000001) << 65535 << qint64(0)
                                  << int(client::Outcome::DeviceError) << "0201" << "33" << "::1" << 2005 << "SPEED"
                                  << "2026-12-08T02:28:27.000001Z,65535,0,device_error,0201,33,[::1]:2005,SPEED\n";
    QTest::newRow("timeout") << qint64(0) << 1 << qint64(-1) << int(client::Outcome::Timeout) << "" << "" << ""
                             << 0 << "" << "1970-01-01T00:00:00.000000Z,1,,timeout,,,,\n";
    QTest::newRow("before 1970") << qint64(-1) << 2 << qint64(5) << int(client::Outcome::Late) << "0000" << "00"
                                 << "plc-7" << 65535 << "%MB3"
                                 << "1969-12-31T23:59:59.999999Z,2,5,late,0000,00,plc-7:65535,%MB3\n";
    QTest::newRow("malformed") << qint64(951782400000000) << 3 << qint64(9) << int(client::Outcome::Malformed)
                               << "" << "" << "plc" << 1 << "A" << "2000-02-29T00:00:00.000000Z,3,9,malformed,,,plc:1,A\n";
    QTest::newRow("user text quoted") << qint64(0) << 4 << qint64(8) << int(client::Outcome::Answer) << "0000"
                                      << "FF" << "line,3" << 2004 << "SPEED \"A\"\r\n2"
                                      << "1970-01-01T00:00:00.000000Z,4,8,answer,0000,FF,\"line,3:2004\","
                                         "\"SPEED \"\"A\"\"\r\n2\"\n";
}

void tst_ExchangeCsv::rows()
{
    QFETCH(qint64, micros);
    QFETCH(int, seq);
    QFETCH(qint64, rtt);
    QFETCH(int, outcome);
    QFETCH(QString, state);
    QFETCH(QString, value);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, variable);
    QFETCH(QString, row);

    client::ExchangeRow r;
    r.when = system_clock::time_point(duration_cast<system_clock::duration>(microseconds(micros)));
    r.seq = static_cast<std::uint16_t>(seq);
    if (rtt >= 0)
        r.rttMicros = rtt;
    r.outcome = static_cast<client::Outcome>(outcome);
    r.state = state.toStdString();
    r.value = value.toStdString();
    if (!host.isEmpty())
        r.device = client::DeviceText(host.toStdString(), static_cast<std::uint16_t>(port));
    r.variable = variable.toStdString();
    std::string out;
    client::AppendCsvRow(out, r);
    QCOMPARE(QString::fromStdString(out), row);
    QCOMPARE(QString::fromUtf8(client::CsvHeader().data(), qsizetype(client::CsvHeader().size())),
             QStringLiteral("time,seq,rtt_us,outcome,state,value,device,variable"));
}

QTEST_GUILESS_MAIN(tst_ExchangeCsv)
#include "tst_ExchangeCsv.moc"
