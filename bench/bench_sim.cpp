// zeva-sim as a server, measured from outside: the built program runs as a
// child process on free loopback ports and is driven through plain sockets.
//
//   zeva-bench-sim [--seconds S] [--sim PATH]
//
// Prints answers per second for 1, 8 and 64 clients at once sending each
// request when the last answer is in (back to back), and for one client
// pipelining, over TCP and UDP; the resident
// memory of zeva-sim with 64 and with 10,000 idle connections and while a
// client sends without reading; and the rate of a well-behaved client with
// and without a flood beside it.

#include <FileLimit.h>

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Read %MW0; its answer is 34 bytes too.
const std::vector<std::uint8_t> kRequest = {0x56, 0x4F, 0x52, 0x4E, 0x2D, 0x4B, 0x45, 0x4C, 0x54, 0x55, 0x00, 0x00,
                                            0x00, 0x33, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x38, 0x54, 0x00, 0x02, 0x00,
                                            0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x25, 0x4D, 0x57, 0x30};
constexpr std::size_t kAnswerSize = 34;

double g_seconds = 2.0;

struct Sim {
    QProcess process;
    quint16 tcp = 0;
    quint16 udp = 0;

    bool start(const QString& path, const QStringList& extra = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(path, QStringList{"--tcp-port", "0", "--udp-port", "0"} + extra);
        if (!process.waitForStarted(10000))
            return false;
        while (!process.canReadLine())
            if (!process.waitForReadyRead(10000))
                return false;
        const auto m = QRegularExpression(R"(tcp (\d+) udp (\d+))").match(QString::fromLocal8Bit(process.readLine()));
        tcp = quint16(m.captured(1).toUInt());
        udp = quint16(m.captured(2).toUInt());
        return m.hasMatch();
    }
    ~Sim()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
    }
    long rssKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(process.processId()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }
};

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int connectTcp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int connectUdp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(port);
    if (fd >= 0)
        ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
}

// Clients each sending one request and waiting for its answer, over and over,
// all served from one poll loop. UDP requests lost are sent again after 100 ms.
// Returns answers per second.
double backToBack(const std::vector<int>& fds, bool udp, double seconds)
{
    struct Client {
        int fd;
        std::size_t got = 0;
        Clock::time_point sent;
    };
    std::vector<Client> clients;
    std::vector<pollfd> polls;
    for (int fd : fds) {
        clients.push_back({fd, 0, Clock::now()});
        polls.push_back({fd, POLLIN, 0});
        ::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
    }
    long answers = 0;
    std::vector<std::uint8_t> buffer(65536);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (::poll(polls.data(), polls.size(), 20) < 0)
            break;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < polls.size(); ++i) {
            Client& c = clients[i];
            if (polls[i].revents & POLLIN) {
                const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0)
                    c.got += udp ? kAnswerSize : std::size_t(n);
                if (c.got >= kAnswerSize) {
                    answers += long(c.got / kAnswerSize);
                    c.got %= kAnswerSize;
                    ::send(c.fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
                    c.sent = now;
                }
            } else if (udp && now - c.sent > std::chrono::milliseconds(100)) {
                ::send(c.fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
                c.sent = now;
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Answers still on their way are not counted; drain them so the next run starts clean.
    for (const Client& c : clients) {
        pollfd p{c.fd, POLLIN, 0};
        while (::poll(&p, 1, 50) > 0 && ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
        }
    }
    return double(answers) / elapsed;
}

double clientsAtOnce(quint16 port, int count, bool udp)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i)
        fds.push_back(udp ? connectUdp(port) : connectTcp(port));
    const double rate = backToBack(fds, udp, g_seconds);
    for (int fd : fds)
        ::close(fd);
    return rate;
}

// One client that sends requests as fast as the server takes them (one thread)
// and reads the answers (another). Over TCP the server's backpressure paces
// it; over UDP it sends regardless and most of it is dropped.
class Flood {
public:
    Flood(quint16 port, bool udp) : m_fd(udp ? connectUdp(port) : connectTcp(port)), m_udp(udp)
    {
        m_writer = std::thread([this] { write(); });
        m_reader = std::thread([this] { read(); });
    }
    ~Flood()
    {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_writer.join();
        m_reader.join();
        ::close(m_fd);
    }
    long answers() const { return m_answers; }

private:
    void write()
    {
        std::vector<std::uint8_t> chunk;
        for (int i = 0; i < (m_udp ? 1 : 512); ++i)
            chunk.insert(chunk.end(), kRequest.begin(), kRequest.end());
        std::size_t at = 0;
        while (!m_stop) {
            const ssize_t n = ::send(m_fd, chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != ENOBUFS && errno != EAGAIN && errno != ECONNREFUSED)
                break;
            if (n > 0)
                at = (at + std::size_t(n)) % chunk.size();
        }
    }
    void read()
    {
        std::vector<std::uint8_t> buffer(1 << 16);
        std::size_t bytes = 0;
        while (!m_stop) {
            const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                if (n < 0 && (errno == EINTR || errno == ECONNREFUSED))
                    continue;
                break;
            }
            bytes += m_udp ? kAnswerSize : std::size_t(n);
            m_answers = long(bytes / kAnswerSize);
        }
    }

    int m_fd;
    bool m_udp;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_answers{0};
    std::thread m_writer, m_reader;
};

// Lets the server finish what a flood left in its buffers.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

double pipelining(quint16 port, bool udp)
{
    double rate = 0;
    {
        Flood flood(port, udp);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long before = flood.answers();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(g_seconds));
        rate = double(flood.answers() - before) / std::chrono::duration<double>(Clock::now() - t0).count();
    }
    settle();
    return rate;
}

void fairness(quint16 port, bool udp)
{
    const char* name = udp ? "UDP" : "TCP";
    const double alone = clientsAtOnce(port, 1, udp);
    double beside = 0;
    long flooded = 0;
    {
        Flood flood(port, udp);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long before = flood.answers();
        beside = clientsAtOnce(port, 1, udp);
        flooded = flood.answers() - before;
    }
    settle();
    std::printf("fairness %s: well-behaved client alone %.0f/s, beside a flood %.0f/s (flood answered %.0f/s): "
                "ratio %.2f\n",
                name, alone, beside, double(flooded) / g_seconds, beside / alone);
}

// Opens connections up to count, each proven served by one exchange.
bool openIdle(std::vector<int>& fds, quint16 port, std::size_t count)
{
    std::vector<std::uint8_t> answer(kAnswerSize);
    while (fds.size() < count) {
        const int fd = connectTcp(port);
        if (fd < 0)
            return false;
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != ssize_t(kRequest.size())
            || ::recv(fd, answer.data(), answer.size(), MSG_WAITALL) != ssize_t(kAnswerSize)) {
            ::close(fd);
            return false;
        }
        fds.push_back(fd);
    }
    return true;
}

void memory(const QString& path)
{
    Sim sim;
    if (!sim.start(path, {"--max-connections", "10100"})) {
        std::printf("zeva-sim did not start\n");
        return;
    }
    std::printf("memory: zeva-sim at start %ld KiB\n", sim.rssKiB());
    std::vector<int> fds;
    if (openIdle(fds, sim.tcp, 64))
        std::printf("memory: 64 idle connections %ld KiB\n", sim.rssKiB());
    if (openIdle(fds, sim.tcp, 10000)) {
        std::printf("memory: 10000 idle connections %ld KiB\n", sim.rssKiB());
        std::printf("one client back to back beside 10000 idle connections: %.0f/s\n", clientsAtOnce(sim.tcp, 1, false));
    } else {
        std::printf("memory: only %zu connections opened\n", fds.size());
    }
    for (int fd : fds)
        ::close(fd);

    // A client that sends without reading: the server stops reading it.
    const int fd = connectTcp(sim.tcp);
    std::vector<std::uint8_t> chunk;
    for (int i = 0; i < 2048; ++i)
        chunk.insert(chunk.end(), kRequest.begin(), kRequest.end());
    long long sent = 0;
    const auto t0 = Clock::now();
    auto last = t0;
    while (Clock::now() - t0 < std::chrono::seconds(30) && Clock::now() - last < std::chrono::seconds(2)) {
        const ssize_t n = ::send(fd, chunk.data() + sent % chunk.size(), chunk.size() - sent % chunk.size(),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            last = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::printf("memory: a client sending without reading got %.1f MB in before the server stopped reading; "
                "zeva-sim %ld KiB\n",
                double(sent) / 1e6, sim.rssKiB());
    ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString path = QStringLiteral(ZEVA_SIM_PATH);
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--seconds"))
            g_seconds = args[i + 1].toDouble();
        else if (args[i] == QLatin1String("--sim"))
            path = args[i + 1];
    }
    if (g_seconds <= 0 || g_seconds > 60) {
        std::printf("usage: zeva-bench-sim [--seconds S (0..60]] [--sim PATH]\n");
        return 2;
    }
    platform::posix::RaiseOpenFileLimit();
    std::printf("zeva-bench-sim: %s, %.1f s per figure\n", qPrintable(path), g_seconds);

    {
        Sim sim;
        if (!sim.start(path)) {
            std::printf("zeva-sim did not start\n");
            return 1;
        }
        for (bool udp : {false, true}) {
            const quint16 port = udp ? sim.udp : sim.tcp;
            const char* name = udp ? "UDP" : "TCP";
            for (int n : {1, 8, 64})
                std::printf("%s %2d client%s back to back: %.0f answers/s\n", name, n, n == 1 ? " " : "s",
                            clientsAtOnce(port, n, udp));
        }
        std::printf("TCP  1 client pipelining: %.0f answers/s\n", pipelining(sim.tcp, false));
        std::printf("UDP  1 client sending without waiting: %.0f answers/s\n", pipelining(sim.udp, true));
        fairness(sim.tcp, false);
        fairness(sim.udp, true);
    }
    memory(path);
    return 0;
}
