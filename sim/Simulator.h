#pragma once

#include "Config.h"
#include "Device.h"

#include <Epoll.h>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>
#include <utility>

#include <sys/socket.h>

class QSocketNotifier;
class QTimer;

namespace sim {

class Outbox;
class Connection;

// Config::devices devices on the network, each with its own memory, one TCP
// listener serving up to Config::maxConnections connections and one UDP
// socket, all on the calling thread, event-driven.
//
// No client can take more than its share: each connection and each UDP
// sender gets at most kBatch requests answered per turn of the event loop,
// a connection is not read from while more than kMaxUnsent bytes of its
// answers wait to be sent, and a UDP sender has at most kUdpQueue requests
// waiting. Answers held back by the delay fault are bounded too: a
// connection's count among its unsent bytes; over UDP a sender may have
// kMaxUnsent bytes of them waiting and all senders together kUdpDelayedMax,
// and an answer past either is not sent. Listeners, UDP sockets and
// connections are plain descriptors in one epoll set, and datagrams are taken
// many per call (Linux), so idle devices and connections cost nothing per
// turn, the sockets ready are served in turn, and a flood of datagrams is
// taken off the socket before it fills.
class Simulator : public QObject {
    Q_OBJECT
public:
    static constexpr int kBatch = 8;
    static constexpr qint64 kMaxUnsent = 64 * 1024;
    static constexpr int kUdpReceive = 32;       // datagrams taken from a socket each time it is ready
    static constexpr int kUdpQueue = 32;         // requests waiting per UDP sender
    static constexpr qint64 kUdpDelayedMax = 1024 * 1024; // UDP answers' bytes waiting for the delay fault
    static constexpr qint64 kPartialMs = 10000;  // an incomplete request held longer closes
    static constexpr qint64 kDrainMs = 5000;     // a closing connection's answers get this long
    static constexpr int kAcceptPauseMs = 100;   // after accept ran out of descriptors

    explicit Simulator(Config config, QObject* parent = nullptr);
    ~Simulator() override;

    // Binds every device's two ports (0 picks a free one). On failure
    // nothing stays bound.
    bool start(QString* error = nullptr);
    void stop();

    int deviceCount() const { return int(m_endpoints.size()); }
    quint16 tcpPort(int device = 0) const; // as bound; 0 before start
    quint16 udpPort(int device = 0) const;
    // The ports bound, as "tcp 2004-2013 udp 3004-3013": consecutive ones as
    // a range, the others separated by commas.
    QString portList() const;
    const Config& config() const { return m_config; }
    Device& device(int index);

    // The first device's memory, for tests. Areas 'M', 'D', 'K' (4096 bytes each).
    QByteArray readArea(char area, int offset, int size) const;
    bool writeArea(char area, int offset, const QByteArray& data);
    QByteArray variable(const QByteArray& name) const;
    bool setVariable(const QByteArray& name, const QByteArray& value);

    int requestsReceived() const { return m_received; } // complete frames with a valid header
    int requestsAnswered() const { return m_answered; } // answers handed to a socket
    int connectionCount() const;                        // open TCP connections, all devices
    int connectionsRefused() const { return m_refused; } // closed at once for the limit
    int udpAnswersDelayed() const;                      // UDP answers waiting for the delay fault
    int udpAnswersNotSent() const { return m_udpNotSent; } // past the delay fault's bounds

signals:
    void requestReceived();
    void requestAnswered();
    void connectionClosed();
    void logLine(const QString& line); // only with Config::verbose

private:
    friend class Connection;
    struct Endpoint; // one device, its sockets and its count of connections
    // A UDP sender's address as it came, the device it sends to, and the
    // requests it has waiting.
    struct UdpSender {
        sockaddr_storage address{};
        socklen_t addressLength = 0;
        Endpoint* endpoint = nullptr;
        std::deque<QByteArray> requests;
    };
    // The sender's address, then the device's index.
    using UdpKey = std::array<char, sizeof(sockaddr_storage) + sizeof(int)>;
    struct UdpKeyHash {
        std::size_t operator()(const UdpKey& key) const;
    };
    struct UdpReceiver; // buffers for taking many datagrams in one call

    bool bind(Endpoint& endpoint, QString* error);
    void accept(Endpoint& endpoint);
    void resumeAccepting();
    void onIncoming(Endpoint& endpoint, int fd);
    void onEvents();
    // Takes datagrams waiting on a device's socket into their senders' queues.
    void receiveUdp(Endpoint& endpoint);
    // Answers one batch of each UDP sender with requests waiting.
    void serveUdp();
    void sendUdp(const Endpoint& endpoint, const QByteArray& answer, const sockaddr* to, socklen_t length);
    // Holds an answer for the delay fault, or drops it past the bounds.
    void delayUdp(const Endpoint& endpoint, const QByteArray& answer, const sockaddr* to, const QString& peer);
    // How the verbose log names a peer: "tcp 127.0.0.1:40000", and the
    // device when there are several.
    QString peerText(const char* protocol, const Endpoint& endpoint, const QString& address) const;
    // One round over every connection and sender with requests waiting.
    void takeTurn();
    void wantTurn(Connection* connection);
    void forget(Connection* connection);
    // Closes connections that are idle, hold an incomplete request, or do
    // not drain while closing.
    void sweep();

    // The answer to one complete frame, or nothing when answers are dropped.
    std::optional<QByteArray> respond(Device& device, const QByteArray& frame, const QString& peer);
    void log(const QString& line);
    void countAnswers(int n);
    qint64 now() const { return m_clock.elapsed(); }

    Config m_config;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<Endpoint>> m_endpoints;
    platform::Epoll m_epoll; // every socket, watched together
    QSocketNotifier* m_epollNotifier = nullptr;
    std::vector<char> m_scratch = std::vector<char>(64 * 1024); // what recv fills
    std::unique_ptr<UdpReceiver> m_udpReceiver;
    Outbox* m_udpOut = nullptr; // only with the delay fault
    QTimer* m_turn = nullptr;
    QTimer* m_sweep = nullptr;
    QTimer* m_acceptResume = nullptr; // after accept ran out of descriptors
    QList<Connection*> m_connections;
    QList<Connection*> m_ready; // connections with requests beyond their last batch
    std::unordered_map<UdpKey, UdpSender, UdpKeyHash> m_udpSenders; // senders with requests waiting
    std::deque<UdpKey> m_udpRound;         // the same, in turn order
    int m_udpWaiting = 0;
    QHash<std::pair<QHostAddress, quint16>, qint64> m_udpDelayed; // bytes held per sender, delay fault
    qint64 m_udpDelayedAll = 0;                                    // and for all senders
    int m_udpNotSent = 0;
    int m_received = 0;
    int m_answered = 0;
    int m_refused = 0;
    std::mt19937 m_random; // which requests the drop fault leaves unanswered
};

} // namespace sim
