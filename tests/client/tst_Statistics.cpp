// Round-trip statistics: percentiles from the fixed-memory histogram, exact
// at the smallest and largest answer, and ping's avg and mdev.

#include <Statistics.h>

#include <QTest>

class TestStatistics : public QObject {
    Q_OBJECT

private slots:
    void percentiles_data();
    void percentiles();
};

using Samples = QList<qint64>;

void TestStatistics::percentiles_data()
{
    QTest::addColumn<Samples>("samples");
    QTest::addColumn<qint64>("p50");
    QTest::addColumn<qint64>("p95");
    QTest::addColumn<qint64>("p99");
    QTest::addColumn<double>("avg");
    QTest::addColumn<double>("mdev");

    // 1003 lies in the bucket [1000, 1004), whose middle is 1001.
    QTest::newRow("one, kept within what was seen") << Samples{1003} << 1003LL << 1003LL << 1003LL << 1003.0 << 0.0;
    QTest::newRow("1..4") << Samples{4, 1, 3, 2} << 2LL << 4LL << 4LL << 2.5 << 1.118034;
    Samples hundred;
    for (int i = 1; i <= 100; ++i)
        hundred << i;
    QTest::newRow("1..100, exact buckets") << hundred << 50LL << 95LL << 99LL << 50.5 << 28.866070;
    // Above 256 us a bucket is at most 1/128 of its value wide:
    // 10000 lies in [9984, 10048), 100000 in [99840, 100352).
    Samples wide;
    for (int i = 0; i < 98; ++i)
        wide << 10000;
    wide << 100000 << 1000000;
    QTest::newRow("wide buckets") << wide << 10015LL << 10015LL << 100095LL << 20800.0 << 98819.836;
    // A rank on the smallest or the largest answer is its time, not the middle
    // of its bucket: 1008 lies in [1008, 1012), 5020 in [4992, 5024), 3000
    // in [2992, 3008).
    QTest::newRow("two, the smallest exact") << Samples{5020, 1008} << 1008LL << 5020LL << 5020LL << 3014.0 << 2006.0;
    QTest::newRow("five, the largest exact")
        << Samples{1010, 2000, 5020, 3000, 4000} << 2999LL << 5020LL << 5020LL << 3006.0 << 1417.061749;
}

void TestStatistics::percentiles()
{
    QFETCH(Samples, samples);
    QFETCH(qint64, p50);
    QFETCH(qint64, p95);
    QFETCH(qint64, p99);
    QFETCH(double, avg);
    QFETCH(double, mdev);

    client::RunStatistics s;
    for (qsizetype i = 0; i < samples.size(); ++i)
        s.AddRtt(samples[i], static_cast<std::uint16_t>(i + 1));
    QCOMPARE(s.PercentileMicros(50), p50);
    QCOMPARE(s.PercentileMicros(95), p95);
    QCOMPARE(s.PercentileMicros(99), p99);
    QVERIFY(qAbs(s.AvgMicros() - avg) < 1e-3);
    QVERIFY2(qAbs(s.MdevMicros() - mdev) < 1e-3, qPrintable(QString::number(s.MdevMicros(), 'f', 6)));
}

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_Statistics.moc"
