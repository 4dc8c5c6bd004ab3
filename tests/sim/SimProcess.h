#pragma once

// zeva-sim as a separate process, for tests of the client against a device.
// It stands in for sim::Simulator with the same calls, so that a test reads
// the same whether the device runs beside it or, on Windows, on the Linux
// machine that runs the tests under Wine.
//
// On Linux the program is started directly. Where ZEVA_SIM_LAUNCHER names a
// loopback port, a launcher listening there (windows/sim-launcher.py) starts
// it instead and relays its standard input and output over the connection.
// Either way the simulator runs with --control: memory and counts are read
// through commands and their answers, and it ends when its input ends.

#include <Config.h>

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace simtest {

class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(sim::Config config, QObject* parent = nullptr);
    ~Simulator() override;

    // Starts the program with the configuration's command line and waits for
    // the ports it bound.
    bool start(QString* error = nullptr);
    // Ends the program and waits until it has ended: its ports are closed.
    void stop();

    quint16 tcpPort(int device = 0) const { return m_tcpPorts.value(device); }
    quint16 udpPort(int device = 0) const { return m_udpPorts.value(device); }
    int deviceCount() const { return int(m_tcpPorts.size()); }
    const sim::Config& config() const { return m_config; }

    // The first device's memory, as sim::Simulator gives it.
    QByteArray readArea(char area, int offset, int size);
    bool writeArea(char area, int offset, const QByteArray& data);
    QByteArray variable(const QByteArray& name);
    bool setVariable(const QByteArray& name, const QByteArray& value);

    // The simulator's counts at the time it answers.
    int requestsReceived() { return count(0); }
    int requestsAnswered() { return count(1); }
    int connectionCount() { return count(2); }
    int connectionsRefused() { return count(3); }

    // The command line that gives the program this configuration.
    static QStringList arguments(const sim::Config& config);

signals:
    void connectionClosed();

private:
    // One command's answer, without its "= "; nullopt when none came.
    std::optional<QByteArray> ask(const QByteArray& command);
    int count(int which);
    // Takes whole lines off the channel: answers are queued, "closed"
    // signalled.
    void takeLines();
    std::optional<QByteArray> nextLine(int waitMs);

    sim::Config m_config;
    std::unique_ptr<QIODevice> m_channel; // the process, or the launcher's connection
    QList<QByteArray> m_lines;            // lines read, not yet taken
    QList<quint16> m_tcpPorts; // device by device
    QList<quint16> m_udpPorts;
};

} // namespace simtest
