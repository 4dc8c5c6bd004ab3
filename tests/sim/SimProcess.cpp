#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

namespace simtest {

namespace {

constexpr int kWaitMs = 20000; // generous: a sanitizer build or Wine on a busy machine is slow

// Bytes least significant first as hex text most significant digit first,
// the way the program's options take values.
QString shown(const QByteArray& littleEndian)
{
    QByteArray reversed = littleEndian;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

QString typeName(sim::VarType type)
{
    switch (type) {
    case sim::VarType::Bit: return QStringLiteral("BIT");
    case sim::VarType::Byte: return QStringLiteral("BYTE");
    case sim::VarType::Word: return QStringLiteral("WORD");
    case sim::VarType::DWord: return QStringLiteral("DWORD");
    case sim::VarType::LWord: return QStringLiteral("LWORD");
    }
    return {};
}

} // namespace

Simulator::Simulator(sim::Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config))
{
}

Simulator::~Simulator()
{
    stop();
}

void Simulator::stop()
{
    if (!m_channel)
        return;
    // Told to quit, the simulator answers once its ports are closed, and
    // ends; it is killed if it does not. The launcher's simulator ends when
    // the connection does.
    ask("quit");
    if (auto* process = qobject_cast<QProcess*>(m_channel.get())) {
        process->closeWriteChannel();
        if (!process->waitForFinished(kWaitMs))
            process->kill();
        process->waitForFinished(kWaitMs);
    } else if (auto* socket = qobject_cast<QTcpSocket*>(m_channel.get())) {
        socket->abort();
    }
    m_channel.reset();
}

QStringList Simulator::arguments(const sim::Config& c)
{
    QStringList a{QStringLiteral("--control"),
                  QStringLiteral("--bind"), c.bind.toString(),
                  QStringLiteral("--tcp-port"), QString::number(c.tcpPort),
                  QStringLiteral("--udp-port"), QString::number(c.udpPort),
                  QStringLiteral("--devices"), QString::number(c.devices),
                  QStringLiteral("--state"), QStringLiteral("%1").arg(c.stateWord, 4, 16, QLatin1Char('0')),
                  QStringLiteral("--status-data"), shown(c.statusData),
                  QStringLiteral("--max-connections"), QString::number(c.maxConnections),
                  QStringLiteral("--idle-timeout"), QString::number(c.idleTimeoutS)};
    for (const sim::NamedVariable& v : c.variables) {
        QString text = QString::fromLatin1(v.name) + QLatin1Char('=') + typeName(v.type);
        if (v.readOnly)
            text += QStringLiteral(":ro");
        a << QStringLiteral("--var") << text + QLatin1Char(':') + shown(v.initial);
    }
    for (auto it = c.animations.cbegin(); it != c.animations.cend(); ++it) {
        static const char* const kinds[] = {"counter", "random", "sine", "ramp"};
        QString text = QString::fromLatin1(it.key()) + QLatin1Char('=') + QLatin1String(kinds[it->kind]);
        if (it->kind == sim::Animation::Sine || it->kind == sim::Animation::Ramp)
            text += QStringLiteral("=%1").arg(it->periodMs);
        a << QStringLiteral("--animate") << text;
    }
    const sim::Faults& f = c.faults;
    QStringList faults;
    if (f.delayMs)
        faults << QStringLiteral("delay=%1").arg(*f.delayMs);
    if (f.dropPercent)
        faults << QStringLiteral("drop=%1").arg(f.dropPercent);
    if (f.seqOffset)
        faults << QStringLiteral("seq-offset=%1").arg(*f.seqOffset);
    if (f.splitMs)
        faults << QStringLiteral("split=%1").arg(*f.splitMs);
    if (f.truncate)
        faults << QStringLiteral("truncate=%1").arg(*f.truncate);
    if (f.closeAfter)
        faults << QStringLiteral("close-after=%1").arg(*f.closeAfter);
    for (auto it = f.errors.cbegin(); it != f.errors.cend(); ++it)
        faults << QStringLiteral("error=%1:%2").arg(QString::fromLatin1(it.key())).arg(it.value());
    if (f.statusError)
        faults << QStringLiteral("status-error=%1").arg(*f.statusError);
    if (f.stateCount)
        faults << QStringLiteral("state-count");
    if (f.flood)
        faults << QStringLiteral("flood");
    for (const QString& fault : faults)
        a << QStringLiteral("--fault") << fault;
    if (c.seed)
        a << QStringLiteral("--seed") << QString::number(*c.seed);
    return a;
}

bool Simulator::start(QString* error)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    const QStringList args = arguments(m_config);
    const QByteArray launcher = qgetenv("ZEVA_SIM_LAUNCHER");
    if (!launcher.isEmpty()) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, quint16(launcher.toUInt()));
        if (!socket->waitForConnected(kWaitMs))
            return fail(QStringLiteral("no zeva-sim launcher on 127.0.0.1:%1: %2").arg(QString::fromLatin1(launcher), socket->errorString()));
        socket->write(args.join(QLatin1Char('\t')).toUtf8() + '\n');
        m_channel = std::move(socket);
    } else {
#ifdef ZEVA_SIM_PATH
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(QStringLiteral(ZEVA_SIM_PATH), args);
        if (!process->waitForStarted(kWaitMs))
            return fail(QStringLiteral("zeva-sim did not start: ") + process->errorString());
        m_channel = std::move(process);
#else
        return fail(QStringLiteral("no zeva-sim here: ZEVA_SIM_LAUNCHER names none"));
#endif
    }
    connect(m_channel.get(), &QIODevice::readyRead, this, &Simulator::takeLines);

    const std::optional<QByteArray> first = nextLine(kWaitMs);
    // "tcp 2004-2006,3000 udp ...": ranges of consecutive ports, separated by commas.
    static const QRegularExpression ports(QStringLiteral("^zeva-sim listening on \\S+ tcp (\\S+) udp (\\S+)$"));
    const QRegularExpressionMatch match = ports.match(QString::fromUtf8(first.value_or(QByteArray())));
    if (!match.hasMatch())
        return fail(first ? QString::fromUtf8(*first) : QStringLiteral("zeva-sim said nothing"));
    for (const auto& [text, list] : {std::pair{match.captured(1), &m_tcpPorts}, std::pair{match.captured(2), &m_udpPorts}}) {
        for (const QString& range : text.split(QLatin1Char(','))) {
            const uint from = range.section(QLatin1Char('-'), 0, 0).toUInt();
            const uint to = range.contains(QLatin1Char('-')) ? range.section(QLatin1Char('-'), 1).toUInt() : from;
            for (uint port = from; port <= to && port <= 65535; ++port)
                list->append(quint16(port));
        }
    }
    return true;
}

void Simulator::takeLines()
{
    if (!m_channel)
        return;
    while (m_channel->canReadLine()) {
        QByteArray line = m_channel->readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line == "closed")
            emit connectionClosed();
        else
            m_lines.append(line);
    }
}

std::optional<QByteArray> Simulator::nextLine(int waitMs)
{
    const QDeadlineTimer deadline(waitMs);
    takeLines();
    while (m_lines.isEmpty()) {
        if (deadline.hasExpired() || !m_channel->waitForReadyRead(int(deadline.remainingTime())))
            break;
        takeLines();
    }
    if (m_lines.isEmpty())
        return std::nullopt;
    return m_lines.takeFirst();
}

std::optional<QByteArray> Simulator::ask(const QByteArray& command)
{
    if (!m_channel)
        return std::nullopt;
    m_channel->write(command + '\n');
    if (auto* socket = qobject_cast<QTcpSocket*>(m_channel.get()))
        socket->flush();
    else if (auto* process = qobject_cast<QProcess*>(m_channel.get()))
        process->waitForBytesWritten(kWaitMs);
    for (;;) {
        const std::optional<QByteArray> line = nextLine(kWaitMs);
        if (!line)
            return std::nullopt;
        if (line->startsWith("= "))
            return line->mid(2);
        // anything else is the program's own output: not an answer
    }
}

int Simulator::count(int which)
{
    const std::optional<QByteArray> answer = ask("counts");
    return answer ? answer->split(' ').value(which).toInt() : -1;
}

QByteArray Simulator::readArea(char area, int offset, int size)
{
    return QByteArray::fromHex(ask(QStringLiteral("read %1 %2 %3").arg(QLatin1Char(area)).arg(offset).arg(size).toLatin1()).value_or(QByteArray()));
}

bool Simulator::writeArea(char area, int offset, const QByteArray& data)
{
    return ask(QStringLiteral("write %1 %2 ").arg(QLatin1Char(area)).arg(offset).toLatin1() + data.toHex()) == QByteArray("1");
}

QByteArray Simulator::variable(const QByteArray& name)
{
    return QByteArray::fromHex(ask("get " + name).value_or(QByteArray()));
}

bool Simulator::setVariable(const QByteArray& name, const QByteArray& value)
{
    return ask("set " + name + ' ' + value.toHex()) == QByteArray("1");
}

} // namespace simtest
