#pragma once

// A capture file read back with tcpdump (libpcap), as another tool would
// read it: each packet's time stamp, ends, checksum verdict and payload.

#include <QProcess>
#include <QRegularExpression>
#include <QString>

namespace test {

struct Packet {
    qint64 micros = 0;
    QString src, dst;
    quint16 srcPort = 0, dstPort = 0;
    bool sumOk = false;
    qint64 seq = -1, seqEnd = -1, ack = -1; // TCP: absolute numbers
    QByteArray payload;
};

// The packets of a capture as tcpdump reads them; `err` gets its complaints.
inline QList<Packet> ReadCapture(const QString& path, QString* err)
{
    QProcess p;
    p.start(QStringLiteral("tcpdump"), {"-n", "-S", "-tt", "-vv", "-X", "-r", path});
    p.waitForFinished(60000);
    *err = QString::fromLocal8Bit(p.readAllStandardError());
    if (p.exitCode() != 0)
        *err += QStringLiteral(" (exit %1)").arg(p.exitCode());
    QList<Packet> packets;
    QByteArray raw;
    const auto finish = [&] {
        if (packets.isEmpty())
            return;
        const int ip = (raw[0] >> 4) == 6 ? 40 : (raw[0] & 0x0F) * 4;
        const bool tcp = raw[(raw[0] >> 4) == 6 ? 6 : 9] == 6;
        packets.back().payload = raw.mid(ip + (tcp ? (quint8(raw[ip + 12]) >> 4) * 4 : 8));
        raw.clear();
    };
    static const QRegularExpression ends(R"((\S+)\.(\d+) > (\S+)\.(\d+):)");
    for (const QString& line : QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('\t')) && line.contains(QLatin1String(":  "))) {
            raw += QByteArray::fromHex(line.mid(line.indexOf(QLatin1String(":  ")) + 3, 40).remove(QLatin1Char(' ')).toLatin1());
            continue;
        }
        if (!line.isEmpty() && line[0].isDigit()) {
            finish();
            Packet packet;
            const QStringList stamp = line.section(QLatin1Char(' '), 0, 0).split(QLatin1Char('.'));
            packet.micros = stamp.value(0).toLongLong() * 1000000 + stamp.value(1).toLongLong();
            packets << packet;
        }
        if (packets.isEmpty())
            continue;
        if (const auto m = ends.match(line); m.hasMatch()) {
            packets.back().src = m.captured(1);
            packets.back().srcPort = quint16(m.captured(2).toUInt());
            packets.back().dst = m.captured(3);
            packets.back().dstPort = quint16(m.captured(4).toUInt());
        }
        static const QRegularExpression numbers(R"(seq (\d+):(\d+), ack (\d+))");
        if (const auto m = numbers.match(line); m.hasMatch()) {
            packets.back().seq = m.captured(1).toLongLong();
            packets.back().seqEnd = m.captured(2).toLongLong();
            packets.back().ack = m.captured(3).toLongLong();
        }
        if (line.contains(QLatin1String("(correct)")) || line.contains(QLatin1String("sum ok")))
            packets.back().sumOk = true;
    }
    finish();
    return packets;
}

} // namespace test
