#pragma once

#include "ClientView.h"
#include "ExchangeObserver.h"
#include "TrafficObserver.h"

#include <modZeva.h>
#include <Framing.h>

#include <BusyPointer.h>
#include <MessageBox.h>
#include <MonotonicClock.h>
#include <ProgramEnd.h>
#include <Socket.h>
#include <TickCounter.h>
#include <Timer.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace client {

struct Ports {
    std::uint16_t tcp = 2004;
    std::uint16_t udp = 2005;
};

// What the window's buttons and the socket's events do: the connect
// sequence, the command state, continuous reading and response timing.
//
// `heldTimer` ends the wait for the rest of a TCP answer that stopped short
// (modZeva::kHeldIdleLimit); it is armed only while part of an answer is
// held, must outlive the logic, and may be null for no such limit.
class ClientLogic : public platform::ISocketEvents, public platform::ITimerEvents {
public:
    ClientLogic(IClientView& view, platform::ISocket& socket, platform::ITickCounter& ticks,
                platform::IMessageBox& box, platform::IBusyPointer& busy, platform::IProgramEnd& end,
                Ports ports = {}, platform::ITimer* heldTimer = nullptr);
    ~ClientLogic() override;
    ClientLogic(const ClientLogic&) = delete;
    ClientLogic& operator=(const ClientLogic&) = delete;

    // Window events.
    void Form_Load();   // statistics to their start values, header built
    void Form_Unload(); // closes the socket
    void optTCP_Click();
    void optUDP_Click();
    void cmdConnect_Click();
    void cmdRead_Click();
    void cmdReadCont_Click();
    void cmdWrite_Click();
    void cmdStatus_Click();

    // Socket events.
    void tcpClient_Connect() override;
    void tcpClient_DataArrival(std::size_t bytesTotal) override;
    void tcpClient_Close() override;
    void tcpClient_Error(const std::string& description) override;

    // The held bytes' timer.
    void Timer_Elapsed() override;

    // 0 idle, 1 single read, 2 continuous read, 3 write, 4 status.
    int CmdState() const { return cmdState_; }
    int DataSize() const { return dataSize_; }
    std::int32_t MinTime() const { return minTime_; }
    std::int32_t MaxTime() const { return maxTime_; }
    // Tick count taken right before the last request went to the socket; 0
    // before the first.
    std::int32_t SendTick() const { return sendTick_; }
    // Answers handled since start, timed or not.
    std::uint64_t Answers() const { return answers_; }
    const modZeva::Sender& Protocol() const { return zeva_; }

    // Told of every handled answer; null for none.
    void SetObserver(IExchangeObserver* observer) { observer_ = observer; }
    // Told of every frame and socket event, timed by `clock`, which then
    // also stamps the socket's arrivals; null for none. Nothing is stamped
    // or told while there is none. An answer to a request sent before the
    // observer came is not timed for it.
    void SetTrafficObserver(ITrafficObserver* observer, platform::IMonotonicClock* clock);

private:
    // The socket as the protocol module sees it: every request is stamped
    // right before its bytes go to the socket, so that a round trip can be
    // longer than the wire's by a descheduling, never shorter. While a TCP
    // connection is made, requests are held here and written, stamped, when
    // it is up.
    class StampingSocket final : public platform::ISocket {
    public:
        explicit StampingSocket(ClientLogic& logic) : logic_(logic) {}
        void SendData(std::span<const std::uint8_t> bytes) override;
        // Only sends go through here; the rest is the socket's.
        void SetListener(platform::ISocketEvents* events) override { logic_.socket_.SetListener(events); }
        void SetTickCounter(platform::ITickCounter* ticks) override { logic_.socket_.SetTickCounter(ticks); }
        void SetProtocol(platform::Protocol protocol) override { logic_.socket_.SetProtocol(protocol); }
        platform::Protocol GetProtocol() const override { return logic_.socket_.GetProtocol(); }
        void SetRemoteHost(std::string_view host) override { logic_.socket_.SetRemoteHost(host); }
        void SetRemotePort(std::uint16_t port) override { logic_.socket_.SetRemotePort(port); }
        void Connect() override { logic_.socket_.Connect(); }
        void GetData(std::vector<std::uint8_t>& out) override { logic_.socket_.GetData(out); }
        std::int32_t ArrivalTick(std::size_t offset) const override { return logic_.socket_.ArrivalTick(offset); }
        void Close() override { logic_.socket_.Close(); }

    private:
        ClientLogic& logic_;
    };
    // Takes the send time of a request about to go out.
    void StampSend();

    void ReadVariable();
    int ChooseType(const std::string& name) const;
    // Notes a request that went out (or is held until the connection is up),
    // and the variable it named (empty for status).
    void Sent(modZeva::SendResult result, std::string_view variable);
    // Response time, minimum and maximum of an answer that arrived at tick
    // `arrived`, into the statistics and the three boxes; returns it.
    std::int32_t ShowTimes(std::int32_t arrived, bool sentMeanwhile);
    // Acts on one answer that arrived at tick `arrived`; true if it sent the
    // next read request. `malformed`: bytes that never made a whole frame,
    // whatever they would decode to.
    bool HandleAnswer(std::span<const std::uint8_t> response, std::int32_t arrived, std::int64_t arrivedMicros,
                      bool sentMeanwhile, bool malformed = false);
    // For the traffic observer: an answer's round trip in microseconds.
    std::optional<std::int64_t> RoundTripMicros(std::int64_t arrivedMicros, bool sentMeanwhile) const;
    // After a peer close or a socket error: box, close, program end.
    void End(std::string_view title, std::string_view text);
    // Part of an answer is held after an arrival: notes when it last grew
    // and makes sure the timer will look at it.
    void HoldUntilIdle();

    IClientView& view_;
    platform::ISocket& socket_;
    platform::ITickCounter& ticks_;
    platform::IMessageBox& box_;
    platform::IBusyPointer& busy_;
    platform::IProgramEnd& end_;
    Ports ports_;
    platform::ITimer* heldTimer_;
    StampingSocket stampingSocket_{*this};
    modZeva::Sender zeva_;

    int cmdState_ = 0;
    int dataSize_ = 0;
    std::int32_t minTime_ = 2147483647;
    std::int32_t maxTime_ = 0;
    std::int32_t sendTick_ = 0;
    // Send times of the request going out now.
    std::int32_t stampTick_ = 0;
    std::int64_t stampMicros_ = 0;
    // A request has been sent; requests made while the connection is made,
    // written when it is up.
    bool sent_ = false;
    std::vector<std::uint8_t> heldRequests_;
    // For the traffic view: requests sent and not yet answered, and the
    // command an answer to the newest one carries.
    std::uint64_t outstanding_ = 0;
    std::uint64_t requestsSent_ = 0;
    std::optional<std::uint8_t> expectedCommand_;
    std::uint64_t answers_ = 0;

    // Kept for the whole run so that continuous reading allocates nothing.
    std::vector<std::uint8_t> received_;
    modZeva::FrameAssembler assembler_;
    // Tick of the last byte held for an incomplete answer.
    std::int32_t heldSince_ = 0;
    bool heldTimerArmed_ = false;
    // An arrival's or the held bytes' handler is under way; an arrival came
    // meanwhile and waits.
    bool handling_ = false;
    bool arrivalWaiting_ = false;

    bool connecting_ = false;
    bool ended_ = false;
    IExchangeObserver* observer_ = nullptr;
    ITrafficObserver* traffic_ = nullptr;
    platform::IMonotonicClock* clock_ = nullptr;
    // Microseconds right before the newest request went out, taken while
    // there is a traffic observer; the held bytes' last arrival.
    std::int64_t sendMicros_ = 0;
    bool sendMicrosKnown_ = false;
    std::int64_t heldSinceMicros_ = 0;
    // For the observer: the device as HOST:PORT, fixed at connect, and the
    // variable of the newest read or write request.
    std::string device_;
    std::string variable_;
};

} // namespace client
