#pragma once

// Requests built the way a client lays them out, and a reader that takes
// whole answers off a socket. Kept apart from the client's own code on purpose.

#include <QByteArray>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

namespace simtest {

constexpr int kWait = 20000; // generous: the sanitizer build on a busy machine is slow

inline QByteArray le16(int v)
{
    QByteArray b(2, '\0');
    b[0] = static_cast<char>(v & 0xFF);
    b[1] = static_cast<char>((v >> 8) & 0xFF);
    return b;
}

inline QByteArray frame(const QByteArray& body)
{
    QByteArray f = QByteArray::fromHex("564F524E2D4B454C5455000000330000") + le16(int(body.size())) + '\0';
    int sum = 0;
    for (char c : f)
        sum += static_cast<quint8>(c);
    return f + char(sum & 0xFF) + body;
}

inline QByteArray readBody(const QByteArray& name, int type, int blocks = 1)
{
    return le16(0x54) + le16(type) + le16(0) + le16(blocks) + le16(int(name.size())) + name;
}

inline QByteArray readRequest(const QByteArray& name, int type)
{
    return frame(readBody(name, type));
}

// data least significant byte first
inline QByteArray writeRequest(const QByteArray& name, int type, const QByteArray& data)
{
    return frame(le16(0x58) + le16(type) + le16(0) + le16(1) + le16(int(name.size())) + name
                 + le16(int(data.size())) + data);
}

inline int answerLength(const QByteArray& header)
{
    return 20 + (quint8(header[16]) | (quint8(header[17]) << 8));
}

inline int errorCode(const QByteArray& answer)
{
    return quint8(answer[28]) | (quint8(answer[29]) << 8);
}

// One whole answer, or what there was when waiting ran out.
inline QByteArray readAnswer(QTcpSocket& s)
{
    if (!QTest::qWaitFor([&] { return s.bytesAvailable() >= 20; }, kWait))
        return s.readAll();
    const int length = answerLength(s.peek(20));
    if (!QTest::qWaitFor([&] { return s.bytesAvailable() >= length; }, kWait))
        return s.readAll();
    return s.read(length);
}

inline QByteArray exchange(QTcpSocket& s, const QByteArray& request)
{
    s.write(request);
    return readAnswer(s);
}

inline QByteArray exchange(QUdpSocket& s, quint16 port, const QByteArray& request)
{
    s.writeDatagram(request, QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return s.hasPendingDatagrams(); }, kWait))
        return {};
    return s.receiveDatagram().data();
}

inline bool connectTo(QTcpSocket& s, quint16 port)
{
    s.connectToHost(QHostAddress::LocalHost, port);
    return QTest::qWaitFor([&] { return s.state() == QAbstractSocket::ConnectedState; }, kWait);
}

} // namespace simtest
