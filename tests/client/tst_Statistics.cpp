// Round-trip statistics: percentiles from the bucketed histogram, exact at
// the smallest and largest answer, ping's avg and mdev, and runs merged.

#include <Statistics.h>

#include <QTest>

#include <array>

class TestStatistics : public QObject {
    Q_OBJECT

private slots:
    void percentiles_data();
    void percentiles();
    void merge_data();
    void merge();
    void precision_data();
    void precision();
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
    // 200 lies in the exact part's upper half; 2^40 us and more count in the
    // last bucket, [255 * 2^32, 2^40), whose middle is 1097364144127.
    Samples far{1};
    for (int i = 0; i < 9; ++i)
        far << 200;
    for (int i = 0; i < 9; ++i)
        far << (1LL << 40);
    far << (1LL << 41);
    QTest::newRow("exact part's upper half, the last bucket")
        << far << 200LL << 1097364144127LL << 2199023255552LL << 604731395366.85 << 648152545476.1183;
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
    // Within 1e-3 us, or a few parts in 10^12 of times that large.
    QVERIFY(qAbs(s.AvgMicros() - avg) < qMax(1e-3, 1e-12 * avg));
    QVERIFY2(qAbs(s.MdevMicros() - mdev) < qMax(1e-3, 1e-12 * mdev), qPrintable(QString::number(s.MdevMicros(), 'f', 6)));
}

void TestStatistics::merge_data()
{
    QTest::addColumn<Samples>("left");
    QTest::addColumn<Samples>("right");

    QTest::newRow("both") << Samples{1000, 1200, 90} << Samples{5000, 800, 1100, 20000};
    QTest::newRow("right empty") << Samples{300, 400} << Samples{};
    QTest::newRow("left empty") << Samples{} << Samples{300, 400};
    QTest::newRow("both empty") << Samples{} << Samples{};
    QTest::newRow("ties on min and max") << Samples{500, 900, 700} << Samples{900, 500};
    QTest::newRow("far apart") << Samples{10, 11} << Samples{10000000, 10000001, 123456789};
}

// Two runs merged give what one run of all their samples gives.
void TestStatistics::merge()
{
    QFETCH(Samples, left);
    QFETCH(Samples, right);

    client::RunStatistics a;
    client::RunStatistics b;
    client::RunStatistics all;
    std::uint16_t seq = 0;
    for (qint64 t : left) {
        a.AddRtt(t, ++seq);
        all.AddRtt(t, seq);
    }
    for (qint64 t : right) {
        b.AddRtt(t, ++seq);
        all.AddRtt(t, seq);
    }
    // Every counter summed.
    a.sent = 1, a.answered = 2, a.timeouts = 3, a.retries = 4, a.late = 5;
    a.deviceErrors = 6, a.malformed = 7, a.closed = 8, a.reconnects = 9;
    b.sent = 10, b.answered = 20, b.timeouts = 30, b.retries = 40, b.late = 50;
    b.deviceErrors = 60, b.malformed = 70, b.closed = 80, b.reconnects = 90;
    a.Merge(b);
    QCOMPARE((std::array{a.sent, a.answered, a.timeouts, a.retries, a.late, a.deviceErrors, a.malformed, a.closed,
                         a.reconnects}),
             (std::array<std::uint64_t, 9>{11, 22, 33, 44, 55, 66, 77, 88, 99}));

    QCOMPARE(a.RttCount(), all.RttCount());
    for (const double p : {1.0, 25.0, 50.0, 90.0, 99.0, 100.0})
        QCOMPARE(a.PercentileMicros(p), all.PercentileMicros(p));
    QCOMPARE(a.minMicros, all.minMicros);
    QCOMPARE(a.minSeq, all.minSeq);
    QCOMPARE(a.maxMicros, all.maxMicros);
    QCOMPARE(a.maxSeq, all.maxSeq);
    QVERIFY(qAbs(a.AvgMicros() - all.AvgMicros()) <= 1e-9 * qMax(1.0, all.AvgMicros()));
    QVERIFY2(qAbs(a.MdevMicros() - all.MdevMicros()) <= 1e-9 * qMax(1.0, all.MdevMicros()),
             qPrintable(QStringLiteral("%1 %2").arg(a.MdevMicros()).arg(all.MdevMicros())));
}

void TestStatistics::precision_data()
{
    QTest::addColumn<double>("percent");
    QTest::addColumn<qint64>("compact");
    QTest::addColumn<qint64>("fine");

    // 999999 and 1000000 lie in the compact bucket [999424, 1003520); the
    // fine one is exact below 2^20 = 1048576, whose bucket is [1048576, 1049600)
    // there and [1048576, 1056768) in the compact one.
    QTest::newRow("smallest, exact in both") << 20.0 << 999999LL << 999999LL;
    QTest::newRow("below 2^20") << 40.0 << 1001471LL << 1000000LL;
    QTest::newRow("2^20") << 80.0 << 1052671LL << 1049087LL;
    QTest::newRow("largest, exact in both") << 100.0 << 3000000LL << 3000000LL;
}

// One histogram type at both precisions: the summary's compact one and the
// traffic window's, exact below a second.
void TestStatistics::precision()
{
    QFETCH(double, percent);
    QFETCH(qint64, compact);
    QFETCH(qint64, fine);
    client::RttHistogram c;
    client::RttHistogram f(client::RttHistogram::kFine);
    for (const qint64 t : {1048576LL, 3000000LL, 999999LL, 1000000LL, 1048575LL}) {
        c.Add(t);
        f.Add(t);
    }
    QCOMPARE(c.Percentile(percent), compact);
    QCOMPARE(f.Percentile(percent), fine);
    QCOMPARE(f.Min(), 999999LL);
    QCOMPARE(f.Max(), 3000000LL);
    QCOMPARE(f.Histogram(2, 0, 2000000), (std::vector<std::uint64_t>{1, 4}));
    f.Clear();
    QCOMPARE(f.Count(), std::uint64_t(0));
    QCOMPARE(f.Percentile(percent), 0LL);
}

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_Statistics.moc"
