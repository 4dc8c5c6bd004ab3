// Continuous reading, measured two ways:
//  1. the client logic's own cycle (timing, display, decoding, building the
//     next request) over a socket that answers at once: time and heap
//     allocations per exchange;
//  2. end to end over loopback against the simulator in this process, TCP
//     and UDP: exchanges per second and the response times seen.
//
//   zeva-bench [exchanges]

#include <ClientLogic.h>
#include <QtSocket.h>
#include <QtTickCounter.h>
#include <Simulator.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

namespace {

std::atomic<long> g_allocations{0};

using client::Control;

// The window as plain strings and flags.
struct PlainView final : client::IClientView {
    std::map<Control, std::string> texts;
    std::map<Control, bool> values;
    std::string Text(Control c) const override
    {
        const auto it = texts.find(c);
        return it == texts.end() ? std::string() : it->second;
    }
    void SetText(Control c, std::string_view text) override { texts[c].assign(text); }
    void SetEnabled(Control, bool) override {}
    bool Value(Control c) const override
    {
        const auto it = values.find(c);
        return it != values.end() && it->second;
    }
    int ListIndex(Control) const override { return -1; }
};

struct SilentBox final : platform::IMessageBox {
    int shown = 0;
    void Show(std::string_view, std::optional<std::string_view>) override { ++shown; }
};
struct NoBusy final : platform::IBusyPointer {
    void SetBusy(bool) override {}
};
struct NoEnd final : platform::IProgramEnd {
    bool ended = false;
    void End(int) override { ended = true; }
};

// Answers every read request at once with the same read answer for a WORD.
struct EchoSocket final : platform::ISocket {
    std::vector<std::uint8_t> answer = {0x56, 0x4F, 0x52, 0x4E, 0x2D, 0x4B, 0x45, 0x4C, 0x54, 0x55, 0x00, 0x00,
                                        0x00, 0x11, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x3C, 0x55, 0x00, 0x02, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x34, 0x12};
    long sent = 0;
    platform::ISocketEvents* listener = nullptr;
    void SetListener(platform::ISocketEvents* l) override { listener = l; }
    void SetTickCounter(platform::ITickCounter*) override {}
    std::int32_t ArrivalTick(std::size_t) const override { return 0; }
    void SetProtocol(platform::Protocol) override {}
    platform::Protocol GetProtocol() const override { return platform::Protocol::Tcp; }
    void SetRemoteHost(std::string_view) override {}
    void SetRemotePort(std::uint16_t) override {}
    void Connect() override {}
    void SendData(std::span<const std::uint8_t>) override { ++sent; }
    void GetData(std::vector<std::uint8_t>& out) override { out.assign(answer.begin(), answer.end()); }
    void Close() override {}
};

void LogicCycle(long exchanges)
{
    PlainView view;
    view.texts[Control::txtVar] = "%MW0";
    view.values[Control::optDirect] = true;
    EchoSocket socket;
    platform::QtTickCounter ticks;
    SilentBox box;
    NoBusy busy;
    NoEnd end;
    client::ClientLogic logic(view, socket, ticks, box, busy, end);
    logic.Form_Load();
    logic.cmdReadCont_Click();
    // Warm up: let every buffer and display string reach its size.
    for (int i = 0; i < 100; ++i)
        logic.tcpClient_DataArrival(0);

    const long before = g_allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < exchanges; ++i)
        logic.tcpClient_DataArrival(0);
    const auto t1 = std::chrono::steady_clock::now();
    const long allocations = g_allocations.load() - before;
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(exchanges);
    std::printf("logic cycle: %ld exchanges, %.0f ns per exchange, %.2f heap allocations per exchange, value %s\n",
                exchanges, ns, static_cast<double>(allocations) / static_cast<double>(exchanges),
                view.Text(Control::txtValue).c_str());
}

void Loopback(platform::Protocol protocol, long exchanges)
{
    sim::Config config;
    config.tcpPort = 0;
    config.udpPort = 0;
    sim::Simulator device(config);
    QString error;
    if (!device.start(&error)) {
        std::printf("simulator: %s\n", qPrintable(error));
        return;
    }

    PlainView view;
    view.texts[Control::txtVar] = "%MW0";
    view.texts[Control::txtIpAdd] = "127.0.0.1";
    view.values[Control::optDirect] = true;
    platform::QtSocket socket;
    platform::QtTickCounter ticks;
    SilentBox box;
    NoBusy busy;
    NoEnd end;
    client::ClientLogic logic(view, socket, ticks, box, busy, end, {device.tcpPort(), device.udpPort()});
    logic.Form_Load();
    if (protocol == platform::Protocol::Udp)
        logic.optUDP_Click();
    else
        logic.optTCP_Click();
    logic.cmdConnect_Click();

    const auto t0 = std::chrono::steady_clock::now();
    logic.cmdReadCont_Click();
    // Bounded: stops after the count or a minute, whichever comes first.
    QDeadlineTimer deadline(60000);
    while (device.requestsAnswered() < exchanges && !deadline.hasExpired() && !end.ended)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const auto t1 = std::chrono::steady_clock::now();
    logic.cmdReadCont_Click();
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const long done = device.requestsAnswered();
    std::printf("%s loopback: %ld exchanges in %.2f s = %.0f per second, response time min %d ms max %d ms, "
                "boxes %d\n",
                protocol == platform::Protocol::Udp ? "UDP" : "TCP", done, seconds,
                static_cast<double>(done) / seconds, logic.MinTime(), logic.MaxTime(), box.shown);
    logic.Form_Unload();
}

} // namespace

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const long exchanges = argc > 1 ? std::atol(argv[1]) : 20000;
    LogicCycle(exchanges * 10);
    Loopback(platform::Protocol::Tcp, exchanges);
    Loopback(platform::Protocol::Udp, exchanges);
    return 0;
}
