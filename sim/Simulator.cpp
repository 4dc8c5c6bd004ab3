#include "Simulator.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <deque>
#include <functional>

namespace sim {

namespace {

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString peerName(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

// Answers waiting for their time (delay and split faults). Items leave in the
// order they came, however their due times compare.
class Outbox : public QObject {
public:
    struct Item {
        qint64 due = 0;
        QByteArray bytes;
        int answers = 0;
        bool close = false;
        QHostAddress to;
        quint16 port = 0;
    };
    // Returns false when the peer is gone and the rest is to be dropped.
    using Writer = std::function<bool(const Item&)>;

    Outbox(Writer writer, QObject* parent) : QObject(parent), m_writer(std::move(writer))
    {
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Outbox::flush);
    }

    qint64 now() const { return m_clock.elapsed(); }

    void push(Item item)
    {
        item.due = std::max(item.due, m_lastDue);
        m_lastDue = item.due;
        m_items.push_back(std::move(item));
        flush();
    }

private:
    void flush()
    {
        while (!m_items.empty() && m_items.front().due <= now()) {
            const Item item = std::move(m_items.front());
            m_items.pop_front();
            if (!m_writer(item)) {
                m_items.clear();
                break;
            }
        }
        if (m_items.empty())
            m_timer.stop();
        else
            m_timer.start(static_cast<int>(std::max<qint64>(0, m_items.front().due - now())));
    }

    Writer m_writer;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<Item> m_items;
    qint64 m_lastDue = 0;
};

// One TCP client: its byte stream, its answers and its close-after count.
class Connection : public QObject {
public:
    Connection(Simulator* sim, QTcpSocket* socket)
        : QObject(sim), m_sim(sim), m_socket(socket),
          m_peer(QStringLiteral("tcp ") + peerName(socket->peerAddress(), socket->peerPort())),
          m_out(new Outbox([this](const Outbox::Item& item) { return write(item); }, this))
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &Connection::onDisconnected);
    }

    // Ends the connection without touching the simulator's bookkeeping.
    void abort()
    {
        m_socket->disconnect(this);
        m_socket->abort();
        deleteLater();
    }

private:
    void onReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        if (m_closing)
            return;
        m_buffer += data;
        const Simulator::Batch batch = m_sim->serve(m_buffer, m_peer, m_answers);
        m_answers += batch.answers;
        m_closing = batch.close;
        m_sim->schedule(*m_out, batch, true);
    }

    bool write(const Outbox::Item& item)
    {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        if (!item.bytes.isEmpty()) {
            m_socket->write(item.bytes);
            m_socket->flush();
            m_sim->log(m_peer + QStringLiteral(" > ") + hex(item.bytes));
        }
        m_sim->countAnswers(item.answers);
        if (item.close) {
            m_sim->log(m_peer + QStringLiteral(" closed by the simulator"));
            m_socket->disconnectFromHost();
            return false;
        }
        return true;
    }

    void onDisconnected()
    {
        m_socket->disconnect(this);
        m_sim->m_connections.removeOne(this);
        m_sim->log(m_peer + QStringLiteral(" disconnected"));
        deleteLater();
        emit m_sim->connectionClosed();
    }

    Simulator* m_sim;
    QTcpSocket* m_socket;
    QString m_peer;
    Outbox* m_out;
    QByteArray m_buffer;
    int m_answers = 0;
    bool m_closing = false;
};

Simulator::Simulator(Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_device(m_config),
      m_random(m_config.seed ? *m_config.seed : std::random_device{}())
{
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(QString* error)
{
    stop();
    m_server = new QTcpServer(this);
    m_udp = new QUdpSocket(this);
    QString message;
    if (!m_server->listen(m_config.bind, m_config.tcpPort))
        message = QStringLiteral("cannot listen on tcp %1 port %2: %3")
                      .arg(m_config.bind.toString()).arg(m_config.tcpPort).arg(m_server->errorString());
    else if (!m_udp->bind(m_config.bind, m_config.udpPort, QAbstractSocket::DontShareAddress))
        message = QStringLiteral("cannot bind udp %1 port %2: %3")
                      .arg(m_config.bind.toString()).arg(m_config.udpPort).arg(m_udp->errorString());
    if (!message.isEmpty()) {
        stop();
        if (error)
            *error = message;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &Simulator::onNewConnection);
    connect(m_udp, &QUdpSocket::readyRead, this, &Simulator::onDatagrams);
    m_udpOut = new Outbox([this](const Outbox::Item& item) {
        if (!item.bytes.isEmpty() && m_udp) {
            m_udp->writeDatagram(item.bytes, item.to, item.port);
            log(QStringLiteral("udp %1 > %2").arg(peerName(item.to, item.port), hex(item.bytes)));
        }
        countAnswers(item.answers);
        return true;
    }, this);
    return true;
}

void Simulator::stop()
{
    for (Connection* c : std::exchange(m_connections, {}))
        c->abort();
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_udp) {
        m_udp->disconnect(this);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    if (m_udpOut) {
        m_udpOut->deleteLater();
        m_udpOut = nullptr;
    }
}

quint16 Simulator::tcpPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

quint16 Simulator::udpPort() const
{
    return m_udp ? m_udp->localPort() : 0;
}

QByteArray Simulator::readArea(char area, int offset, int size) const
{
    return m_device.readArea(area, offset, size);
}

bool Simulator::writeArea(char area, int offset, const QByteArray& data)
{
    return m_device.writeArea(area, offset, data);
}

QByteArray Simulator::variable(const QByteArray& name) const
{
    return m_device.variable(name);
}

bool Simulator::setVariable(const QByteArray& name, const QByteArray& value)
{
    return m_device.setVariable(name, value);
}

int Simulator::connectionCount() const
{
    return static_cast<int>(m_connections.size());
}

void Simulator::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* connection = new Connection(this, socket);
        m_connections.append(connection);
        log(QStringLiteral("tcp %1 connected").arg(peerName(socket->peerAddress(), socket->peerPort())));
    }
}

void Simulator::onDatagrams()
{
    // Drain everything: readyRead is not raised again for datagrams already waiting.
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            continue;
        const QString peer = QStringLiteral("udp ") + peerName(datagram.senderAddress(), static_cast<quint16>(datagram.senderPort()));
        const QByteArray data = datagram.data();
        const FrameScan scan = scanRequest(data);
        // A datagram is one frame: its size must be what the header says.
        if (scan.result != FrameScan::Complete || scan.length != data.size()) {
            log(peer + QStringLiteral(" ignored ") + hex(data));
            continue;
        }
        const auto answer = respond(data, peer);
        if (!m_udpOut)
            return; // stopped from a slot of requestReceived
        if (!answer)
            continue;
        Outbox::Item item;
        item.due = m_udpOut->now() + m_config.faults.delayMs.value_or(0);
        item.bytes = *answer;
        item.answers = 1;
        item.to = datagram.senderAddress();
        item.port = static_cast<quint16>(datagram.senderPort());
        m_udpOut->push(std::move(item));
    }
}

std::optional<QByteArray> Simulator::respond(const QByteArray& frame, const QString& peer)
{
    ++m_received;
    log(peer + QStringLiteral(" < ") + hex(frame));
    emit requestReceived();
    const int dropPercent = m_config.faults.dropPercent;
    if (dropPercent >= 100 || (dropPercent > 0 && std::uniform_int_distribution<int>(0, 99)(m_random) < dropPercent))
        return std::nullopt;
    QByteArray answer = m_device.answer(frame);
    if (m_config.faults.truncate)
        answer.truncate(*m_config.faults.truncate);
    return answer;
}

Simulator::Batch Simulator::serve(QByteArray& buffer, const QString& peer, int answeredBefore)
{
    Batch batch;
    const auto& closeAfter = m_config.faults.closeAfter;
    for (;;) {
        if (closeAfter && answeredBefore + batch.answers >= *closeAfter) {
            batch.close = true;
            buffer.clear();
            break;
        }
        const FrameScan scan = scanRequest(buffer);
        if (scan.result == FrameScan::NeedMore)
            break;
        if (scan.result == FrameScan::Invalid) {
            log(peer + QStringLiteral(" invalid frame, closing: ") + hex(buffer.left(64)));
            batch.close = true;
            buffer.clear();
            break;
        }
        const QByteArray frame = buffer.left(scan.length);
        buffer.remove(0, scan.length);
        if (const auto answer = respond(frame, peer)) {
            batch.bytes += *answer;
            ++batch.answers;
        }
    }
    return batch;
}

void Simulator::schedule(Outbox& out, const Batch& batch, bool splittable)
{
    if (batch.answers == 0 && !batch.close)
        return;
    const qint64 due = out.now() + m_config.faults.delayMs.value_or(0);
    const auto& split = m_config.faults.splitMs;
    if (splittable && split && batch.bytes.size() >= 2) {
        const qsizetype half = batch.bytes.size() / 2;
        out.push({due, batch.bytes.left(half), batch.answers, false, {}, 0});
        out.push({due + *split, batch.bytes.mid(half), 0, batch.close, {}, 0});
    } else {
        out.push({due, batch.bytes, batch.answers, batch.close, {}, 0});
    }
}

void Simulator::log(const QString& line)
{
    if (m_config.verbose)
        emit logLine(line);
}

void Simulator::countAnswers(int n)
{
    for (int i = 0; i < n; ++i) {
        ++m_answered;
        emit requestAnswered();
    }
}

} // namespace sim
