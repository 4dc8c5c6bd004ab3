#pragma once

// Recording stand-ins for the platform services that a test cannot use for
// real: a modal box would wait for a click, program end would end the test,
// and the real tick counter cannot be put just before its wrap.

#include <BusyPointer.h>
#include <MessageBox.h>
#include <ProgramEnd.h>
#include <Socket.h>
#include <TickCounter.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct FakeMessageBox final : platform::IMessageBox {
    struct Shown {
        std::string text;
        std::string title;
    };
    std::vector<Shown> shown;
    // Runs while the box is "open", as a modal box's nested event loop would.
    std::function<void()> whileOpen;

    void Show(std::string_view text, std::optional<std::string_view> title) override
    {
        shown.push_back({std::string(text), std::string(title.value_or(platform::kDefaultTitle))});
        if (whileOpen)
            whileOpen();
    }
};

struct FakeClock final : platform::ITickCounter {
    std::int32_t now = 0;
    // Added to `now` after every reading, so that time moves on its own.
    std::int32_t step = 0;

    std::int32_t GetTickCount() override
    {
        const std::int32_t t = now;
        now = static_cast<std::int32_t>(static_cast<std::uint32_t>(now) + static_cast<std::uint32_t>(step));
        return t;
    }
};

struct FakeExit final : platform::IProgramEnd {
    std::vector<int> statuses;
    void End(int exitStatus) override { statuses.push_back(exitStatus); }
};

struct FakeBusy final : platform::IBusyPointer {
    bool busy = false;
    std::vector<bool> changes;
    void SetBusy(bool on) override
    {
        busy = on;
        changes.push_back(on);
    }
};

// Records every frame sent; received bytes are queued by the test.
struct FakeSocket final : platform::ISocket {
    platform::ISocketEvents* listener = nullptr;
    platform::ITickCounter* ticks = nullptr;
    std::int32_t arrivalTick = 0;
    std::int64_t arrivalMicros = 0;
    // Runs inside every send, as would a write the process is descheduled in.
    std::function<void()> whileSending;
    platform::Protocol protocol = platform::Protocol::Tcp;
    std::string host;
    std::uint16_t port = 0;
    int connects = 0;
    int closes = 0;
    std::vector<std::vector<std::uint8_t>> sent;
    std::vector<std::vector<std::uint8_t>> incoming;

    void SetListener(platform::ISocketEvents* events) override { listener = events; }
    void SetTickCounter(platform::ITickCounter* t) override { ticks = t; }
    void SetProtocol(platform::Protocol p) override { protocol = p; }
    platform::Protocol GetProtocol() const override { return protocol; }
    void SetRemoteHost(std::string_view h) override { host = std::string(h); }
    void SetRemotePort(std::uint16_t p) override { port = p; }
    void Connect() override { ++connects; }
    void SendData(std::span<const std::uint8_t> bytes) override
    {
        sent.emplace_back(bytes.begin(), bytes.end());
        if (whileSending)
            whileSending();
    }
    void GetData(std::vector<std::uint8_t>& out) override
    {
        out.clear();
        if (!incoming.empty()) {
            out = std::move(incoming.front());
            incoming.erase(incoming.begin());
        }
    }
    std::int32_t ArrivalTick(std::size_t) const override { return arrivalTick; }
    std::int64_t ArrivalMicros(std::size_t) const override { return arrivalMicros; }
    bool peerClosed = false; // the device's close has come
    bool PeerClosed() override { return peerClosed; }
    void Close() override { ++closes; }
};
