// The capture writer with frames a run cannot easily make: a TCP frame too
// long for one packet, read back with tcpdump (libpcap).
#include <PcapWriter.h>

#include <CaptureReader.h>

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class tst_PcapWriter : public QObject {
    Q_OBJECT

private slots:
    void longFrameInSegments_data();
    void longFrameInSegments();
};

void tst_PcapWriter::longFrameInSegments_data()
{
    QTest::addColumn<int>("addressSize");
    QTest::newRow("ipv4") << 4;
    QTest::newRow("ipv6") << 16;
}

void tst_PcapWriter::longFrameInSegments()
{
    QFETCH(int, addressSize);
    if (QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty())
        QSKIP("tcpdump is needed to read captures back");
    client::CaptureLink link;
    link.local.size = link.peer.size = std::uint8_t(addressSize);
    link.local.address[addressSize - 1] = link.peer.address[addressSize - 1] = 1;
    if (addressSize == 4)
        link.local.address[0] = link.peer.address[0] = 127;
    link.local.port = 40000;
    link.peer.port = 2004;
    // The largest answer a device can send: a 20-byte header and 0xFFFF bytes of body.
    std::vector<std::uint8_t> answer(20 + 0xFFFF);
    for (std::size_t i = 0; i < answer.size(); ++i)
        answer[i] = std::uint8_t(i * 7);
    const std::vector<std::uint8_t> request(34, 0x54);

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("long.pcapng"));
    client::PcapWriter writer;
    QVERIFY(writer.Open(file.toStdString(), "zeva test"));
    QVERIFY(writer.Add(link, true, 1'000'000, request));
    QVERIFY(writer.Add(link, false, 1'000'500, answer));
    QVERIFY(writer.Add(link, true, 1'001'000, request));
    QVERIFY(writer.Close());

    QString complaints;
    const QList<test::Packet> packets = test::ReadCapture(file, &complaints);
    QVERIFY2(!complaints.contains(QLatin1String("exit")), qPrintable(complaints));
    QCOMPARE(packets.size(), 4);
    QByteArray received;
    for (const test::Packet& p : packets) {
        QVERIFY(p.sumOk);
        if (p.srcPort == 2004)
            received += p.payload;
    }
    QCOMPARE(packets[1].micros, packets[2].micros);
    QCOMPARE(packets[2].seq, packets[1].seqEnd);
    QCOMPARE(packets[3].seq, packets[0].seqEnd);
    QCOMPARE(packets[3].ack, packets[2].seqEnd);
    QCOMPARE(received, QByteArray(reinterpret_cast<const char*>(answer.data()), qsizetype(answer.size())));
}

QTEST_GUILESS_MAIN(tst_PcapWriter)
#include "tst_PcapWriter.moc"
