#include <QtSocket.h>
#include <UnderWine.h>
#include <WaitLikeBox.h>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using platform::Protocol;

namespace {

// Records every event as text; a hook can run inside the next data handler.
struct Recorder final : platform::ISocketEvents {
    platform::QtSocket& socket;
    std::vector<std::string> log;
    int depth = 0;
    int maxDepth = 0;
    std::function<void()> insideNextHandler;

    explicit Recorder(platform::QtSocket& s) : socket(s) { socket.SetListener(this); }

    void Record(std::string entry)
    {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        log.push_back(std::move(entry));
        if (insideNextHandler) {
            auto hook = std::move(insideNextHandler);
            insideNextHandler = nullptr;
            hook();
        }
        --depth;
    }
    void tcpClient_Connect() override { Record("connect"); }
    void tcpClient_DataArrival(std::size_t) override
    {
        std::vector<std::uint8_t> bytes;
        socket.GetData(bytes);
        Record("data:" + std::string(bytes.begin(), bytes.end()));
    }
    void tcpClient_Close() override { Record("close"); }
    void tcpClient_Error(const std::string& description) override { Record("error:" + description); }
};

std::span<const std::uint8_t> Bytes(const char* text)
{
    return {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)};
}

using Log = std::vector<std::string>;

// Points the socket at a listener on loopback and starts the connection.
void ConnectTo(platform::QtSocket& socket, quint16 port)
{
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(port);
    socket.Connect();
}

} // namespace

class tst_QtSocket : public QObject {
    Q_OBJECT

private slots:
    void eventsWaitUntilHandlerReturns();
    void closeInsideHandlerDropsPendingEvents();
    void badAddress_data();
    void badAddress();
    void udpOneDatagramPerEvent();
    void closeSafeInAnyState();
    void tcpNoDelay();
    void udpRefusedIsNoAnswer();
};

void tst_QtSocket::eventsWaitUntilHandlerReturns()
{
    if (UnderWine())
        QSKIP("Wine posts the peer's close (FD_CLOSE) again each time Qt re-selects the socket's events, so Qt's "
              "event loop never goes idle while the close is unread and the box's loop starves (Windows posts it once)");
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    platform::QtSocket socket;
    Recorder events(socket);
    ConnectTo(socket, server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 20000);
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"connect"}), 20000);

    // The first data handler opens a "modal box": more data and the peer's
    // close come while it is open, and must wait for it.
    bool recordedMeanwhile = false;
    events.insideNextHandler = [&] {
        peer->write("two");
        peer->flush();
        peer->disconnectFromHost();
        QVERIFY(WaitLikeBox([&] { return socket.PendingEvents() >= 2; }));
        recordedMeanwhile = events.log.size() != 2;
    };
    peer->write("one");
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"connect", "data:one", "data:two", "close"}), 20000);
    QVERIFY(!recordedMeanwhile);
    QCOMPARE(events.maxDepth, 1);
}

void tst_QtSocket::closeInsideHandlerDropsPendingEvents()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    platform::QtSocket socket;
    Recorder events(socket);
    events.insideNextHandler = [&] {
        QVERIFY(WaitLikeBox([&] { return server.hasPendingConnections(); }));
        QTcpSocket* peer = server.nextPendingConnection();
        peer->write("late");
        peer->flush();
        QVERIFY(WaitLikeBox([&] { return socket.PendingEvents() >= 1; }));
        socket.Close();
    };
    ConnectTo(socket, server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"connect"}), 20000);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(events.log, Log({"connect"}));
    QCOMPARE(socket.PendingEvents(), std::size_t(0));
}

void tst_QtSocket::badAddress_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("descriptionContains");
    QTest::newRow("tcp, not an address") << Protocol::Tcp << "not an address!" << "not found";
    QTest::newRow("udp, not an address") << Protocol::Udp << "not an address!" << "not an address!";
    QTest::newRow("udp, empty") << Protocol::Udp << "" << "No remote host";
    QTest::newRow("udp, multicast") << Protocol::Udp << "224.0.0.1" << "224.0.0.1";
}

void tst_QtSocket::badAddress()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, host);
    QFETCH(QString, descriptionContains);
    platform::QtSocket socket;
    Recorder events(socket);
    socket.SetProtocol(protocol);
    socket.SetRemoteHost(host.toStdString());
    socket.SetRemotePort(9);
    socket.Connect();
    socket.SendData(Bytes("never"));
    socket.SendData(Bytes("sent"));
    QTRY_COMPARE_WITH_TIMEOUT(events.log.size(), std::size_t(1), 20000);
    const QString entry = QString::fromStdString(events.log.front());
    QVERIFY2(entry.startsWith("error:"), qPrintable(entry));
    QVERIFY2(entry.contains(descriptionContains, Qt::CaseInsensitive), qPrintable(entry));
    QCoreApplication::processEvents();
    QCOMPARE(events.log.size(), std::size_t(1));
}

void tst_QtSocket::udpOneDatagramPerEvent()
{
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress::LocalHost, 0));
    platform::QtSocket socket;
    Recorder events(socket);
    socket.SetProtocol(Protocol::Udp);
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(device.localPort());
    socket.Connect(); // nothing for UDP
    socket.SendData(Bytes("ping"));

    QTRY_VERIFY_WITH_TIMEOUT(device.hasPendingDatagrams(), 20000);
    const QNetworkDatagram request = device.receiveDatagram();
    QCOMPARE(request.data(), QByteArray("ping"));
    QCOMPARE(request.senderPort(), int(socket.LocalPort()));
    for (const char* answer : {"a", "bb", "ccc"})
        device.writeDatagram(answer, request.senderAddress(), quint16(request.senderPort()));
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"data:a", "data:bb", "data:ccc"}), 20000);
}

void tst_QtSocket::closeSafeInAnyState()
{
    platform::QtSocket fresh;
    fresh.Close();
    fresh.Close();

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    platform::QtSocket connecting;
    Recorder events(connecting);
    connecting.SetRemoteHost("127.0.0.1");
    connecting.SetRemotePort(server.serverPort());
    connecting.Connect();
    connecting.SendData(Bytes("x"));
    connecting.Close();
    connecting.Close();

    platform::QtSocket udp;
    udp.SetProtocol(Protocol::Udp);
    udp.SetRemoteHost("localhost");
    udp.SetRemotePort(9);
    udp.SendData(Bytes("x")); // lookup under way
    udp.Close();

    QCoreApplication::processEvents();
    QCOMPARE(events.log, Log());
}

void tst_QtSocket::tcpNoDelay()
{
    // Requests and answers are small and strictly alternate: none may wait
    // for the acknowledgement of the one before.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    platform::QtSocket socket;
    Recorder events(socket);
    ConnectTo(socket, server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"connect"}), 20000);
    QVERIFY(socket.NoDelay());
}

void tst_QtSocket::udpRefusedIsNoAnswer()
{
    if (UnderWine())
        QSKIP("Wine ignores SIO_UDP_CONNRESET (a stub), with which Qt tells Windows not to report a refused datagram "
              "on the socket: the refusal breaks the socket's reads there, never on Windows");
    // A datagram to a port nobody holds is refused by the system; that is no
    // error of the client's, as a datagram lost is none. Once the device is
    // there, the next request reaches it.
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress::LocalHost, 0));
    const quint16 port = device.localPort();
    device.close();
    platform::QtSocket socket;
    Recorder events(socket);
    socket.SetProtocol(Protocol::Udp);
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(port);
    socket.SendData(Bytes("lost"));
    QCoreApplication::processEvents();

    QVERIFY(device.bind(QHostAddress::LocalHost, port));
    socket.SendData(Bytes("ping"));
    QTRY_VERIFY_WITH_TIMEOUT(device.hasPendingDatagrams(), 20000);
    const QNetworkDatagram request = device.receiveDatagram();
    QCOMPARE(request.data(), QByteArray("ping"));
    device.writeDatagram("pong", request.senderAddress(), quint16(request.senderPort()));
    QTRY_COMPARE_WITH_TIMEOUT(events.log, Log({"data:pong"}), 20000);
}

QTEST_GUILESS_MAIN(tst_QtSocket)
#include "tst_QtSocket.moc"
