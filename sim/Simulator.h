#pragma once

#include "Config.h"
#include "Device.h"

#include <QObject>
#include <QString>

#include <QList>

#include <random>

class QTcpServer;
class QUdpSocket;

namespace sim {

class Outbox;
class Connection;

// The device on the network: one TCP listener serving any number of
// connections and one UDP socket, all on the calling thread, event-driven.
class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(Config config, QObject* parent = nullptr);
    ~Simulator() override;

    // Binds both ports (0 picks a free one). On failure nothing stays bound.
    bool start(QString* error = nullptr);
    void stop();

    quint16 tcpPort() const; // as bound; 0 before start
    quint16 udpPort() const;
    const Config& config() const { return m_config; }

    // The device's memory, for tests. Areas 'M', 'D', 'K' (4096 bytes each).
    QByteArray readArea(char area, int offset, int size) const;
    bool writeArea(char area, int offset, const QByteArray& data);
    QByteArray variable(const QByteArray& name) const;
    bool setVariable(const QByteArray& name, const QByteArray& value);

    int requestsReceived() const { return m_received; } // complete frames with a valid header
    int requestsAnswered() const { return m_answered; } // answers handed to a socket
    int connectionCount() const;                        // open TCP connections

signals:
    void requestReceived();
    void requestAnswered();
    void connectionClosed();
    void logLine(const QString& line); // only with Config::verbose

private:
    friend class Connection;
    void onNewConnection();
    void onDatagrams();
    // Answers to the frames at the start of buffer; removes what it used.
    // Returns the answers in one piece, how many, and whether the peer is to be closed.
    struct Batch {
        QByteArray bytes;
        int answers = 0;
        bool close = false;
    };
    Batch serve(QByteArray& buffer, const QString& peer, int answeredBefore);
    // The answer to one complete frame, or nothing when answers are dropped.
    std::optional<QByteArray> respond(const QByteArray& frame, const QString& peer);
    void schedule(Outbox& out, const Batch& batch, bool splittable);
    void log(const QString& line);
    void countAnswers(int n);

    Config m_config;
    Device m_device;
    QTcpServer* m_server = nullptr;
    QUdpSocket* m_udp = nullptr;
    Outbox* m_udpOut = nullptr;
    QList<Connection*> m_connections;
    int m_received = 0;
    int m_answered = 0;
    std::mt19937 m_random; // which requests the drop fault leaves unanswered
};

} // namespace sim
