#include "ClientLogic.h"

#include <chrono>
#include <optional>
#include <string>

namespace client {

namespace {

constexpr std::string_view kCaptionConnect = "Connect";
constexpr std::string_view kCaptionStart = "Start";
constexpr std::string_view kCaptionReadCont = "Read Cont";
constexpr std::string_view kCaptionStop = "Stop";

constexpr std::string_view kCloseTitle = "WinSock Message";
constexpr std::string_view kCloseText = "Close!";
constexpr std::string_view kErrorTitle = "Winsock Error";

constexpr std::int32_t kMinTimeStart = 2147483647;

// Marks a handler under way for as long as it runs.
struct Handling {
    bool& flag;
    explicit Handling(bool& f) : flag(f) { flag = true; }
    ~Handling() { flag = false; }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
};

// Milliseconds from `from` to `to` on a counter that wraps at 2^32: the
// unsigned difference read back as signed, right across both wraps.
std::int32_t Elapsed(std::int32_t from, std::int32_t to)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(to) - static_cast<std::uint32_t>(from));
}

} // namespace

ClientLogic::ClientLogic(IClientView& view, platform::ISocket& socket, platform::ITickCounter& ticks,
                         platform::IMessageBox& box, platform::IBusyPointer& busy, platform::IProgramEnd& end,
                         Ports ports, platform::ITimer* heldTimer)
    : view_(view), socket_(socket), ticks_(ticks), box_(box), busy_(busy), end_(end), ports_(ports),
      heldTimer_(heldTimer), zeva_(stampingSocket_, ticks, box)
{
    socket_.SetListener(this);
    socket_.SetTickCounter(&ticks_);
    if (heldTimer_)
        heldTimer_->SetListener(this);
}

ClientLogic::~ClientLogic()
{
    if (heldTimer_) {
        heldTimer_->Stop();
        heldTimer_->SetListener(nullptr);
    }
}

void ClientLogic::Form_Load()
{
    minTime_ = kMinTimeStart;
    maxTime_ = 0;
    zeva_.MakeHeader();
}

void ClientLogic::Form_Unload()
{
    socket_.Close();
    heldRequests_.clear();
    // Part of an answer still held goes with the connection, unshown.
    assembler_.Clear();
    if (heldTimer_ && heldTimerArmed_) {
        heldTimerArmed_ = false;
        heldTimer_->Stop();
    }
}

void ClientLogic::optTCP_Click()
{
    socket_.SetProtocol(platform::Protocol::Tcp);
    view_.SetText(Control::cmdConnect, kCaptionConnect);
}

void ClientLogic::optUDP_Click()
{
    socket_.SetProtocol(platform::Protocol::Udp);
    view_.SetText(Control::cmdConnect, kCaptionStart);
}

void ClientLogic::cmdConnect_Click()
{
    if (ended_)
        return;
    const std::string host = view_.Text(Control::txtIpAdd);
    socket_.SetRemoteHost(host);
    if (socket_.GetProtocol() == platform::Protocol::Tcp) {
        device_ = DeviceText(host, ports_.tcp);
        busy_.SetBusy(true);
        connecting_ = true;
        socket_.SetRemotePort(ports_.tcp);
        socket_.Connect();
    } else {
        // UDP: nothing goes out until the first command.
        device_ = DeviceText(host, ports_.udp);
        socket_.SetRemotePort(ports_.udp);
    }
    // Usable at once; a TCP request made before the connection is up is
    // held by the socket and sent when it completes.
    view_.SetEnabled(Control::cmdRead, true);
    view_.SetEnabled(Control::cmdReadCont, true);
    view_.SetEnabled(Control::cmdWrite, true);
    view_.SetEnabled(Control::cmdStatus, true);
    view_.SetEnabled(Control::cmdConnect, false);
    view_.SetEnabled(Control::optTCP, false);
    view_.SetEnabled(Control::optUDP, false);
}

int ClientLogic::ChooseType(const std::string& name) const
{
    if (view_.Value(Control::optDirect))
        return modZeva::TypeFromDirectName(name);
    const int index = view_.ListIndex(Control::cboDataType);
    return index < 0 ? 0 : index + 1;
}

void ClientLogic::ReadVariable()
{
    const std::string name = modZeva::UpperCase(view_.Text(Control::txtVar));
    const int type = ChooseType(name);
    dataSize_ = modZeva::TypeSize(type);
    Sent(zeva_.SendReadRequest(name, type), name);
    view_.SetText(Control::txtVar, name);
}

void ClientLogic::SetTrafficObserver(ITrafficObserver* observer, platform::IMonotonicClock* clock)
{
    traffic_ = clock ? observer : nullptr;
    clock_ = traffic_ ? clock : nullptr;
    sendMicrosKnown_ = false;
    socket_.SetArrivalClock(clock_);
}

void ClientLogic::StampSend()
{
    stampTick_ = ticks_.GetTickCount();
    stampMicros_ = traffic_ ? clock_->NowMicros() : 0;
}

void ClientLogic::StampingSocket::SendData(std::span<const std::uint8_t> bytes)
{
    logic_.StampSend();
    // Held until the connection is up, and stamped again as it goes then.
    if (logic_.connecting_)
        logic_.heldRequests_.insert(logic_.heldRequests_.end(), bytes.begin(), bytes.end());
    else
        logic_.socket_.SendData(bytes);
}

void ClientLogic::Sent(modZeva::SendResult result, std::string_view variable)
{
    if (result != modZeva::SendResult::Sent)
        return;
    sent_ = true;
    variable_.assign(variable);
    // The protocol module's own SendTick is taken after the write returned.
    sendTick_ = stampTick_;
    ++outstanding_;
    ++requestsSent_;
    // Each request's answer carries the command that follows its own:
    // 0x54 -> 0x55, 0x58 -> 0x59, 0xB0 -> 0xB1.
    const auto command = modZeva::FrameCommand(zeva_.SendBuf());
    expectedCommand_.reset();
    if (command)
        expectedCommand_ = static_cast<std::uint8_t>(*command + 1);
    if (traffic_) {
        sendMicros_ = stampMicros_;
        sendMicrosKnown_ = true;
        traffic_->FrameSent(zeva_.SendBuf(), sendMicros_, requestsSent_);
    }
}

void ClientLogic::cmdRead_Click()
{
    if (ended_)
        return;
    cmdState_ = 1;
    ReadVariable();
}

void ClientLogic::cmdReadCont_Click()
{
    if (ended_)
        return;
    view_.SetEnabled(Control::cmdRead, false);
    view_.SetEnabled(Control::cmdWrite, false);
    view_.SetEnabled(Control::cmdStatus, false);
    if (cmdState_ == 2) {
        view_.SetText(Control::cmdReadCont, kCaptionReadCont);
        view_.SetEnabled(Control::cmdRead, true);
        view_.SetEnabled(Control::cmdWrite, true);
        view_.SetEnabled(Control::cmdStatus, true);
        cmdState_ = 0;
    } else {
        view_.SetText(Control::cmdReadCont, kCaptionStop);
        cmdState_ = 2;
        ReadVariable();
    }
}

void ClientLogic::cmdWrite_Click()
{
    if (ended_)
        return;
    const std::string name = modZeva::UpperCase(view_.Text(Control::txtVar));
    const int type = ChooseType(name);
    cmdState_ = 3;
    Sent(zeva_.SendWriteRequest(name, view_.Text(Control::txtValue), type), name);
    view_.SetText(Control::txtVar, name);
}

void ClientLogic::cmdStatus_Click()
{
    if (ended_)
        return;
    cmdState_ = 4;
    Sent(zeva_.SendStatusRequest(), {});
}

void ClientLogic::tcpClient_Connect()
{
    if (ended_)
        return;
    view_.SetEnabled(Control::txtIpAdd, false);
    connecting_ = false;
    // The requests made meanwhile go out now, timed from here.
    if (!heldRequests_.empty()) {
        StampSend();
        sendTick_ = stampTick_;
        if (traffic_)
            sendMicros_ = stampMicros_;
        socket_.SendData(heldRequests_);
        heldRequests_.clear();
    }
    busy_.SetBusy(false);
    if (traffic_)
        traffic_->SocketEventHappened(SocketEvent::Connected, device_);
}

void ClientLogic::tcpClient_DataArrival(std::size_t)
{
    if (ended_)
        return;
    // The socket keeps its events from nesting in its own handlers, not in
    // the held bytes' timer: an arrival while that handler's box is open
    // waits until it has closed.
    if (handling_) {
        arrivalWaiting_ = true;
        return;
    }
    socket_.GetData(received_);

    if (socket_.GetProtocol() == platform::Protocol::Udp) {
        if (!received_.empty())
            HandleAnswer(received_, socket_.ArrivalTick(0), traffic_ ? socket_.ArrivalMicros(0) : 0, false);
        return;
    }

    // TCP is a byte stream: an answer may come in pieces, or several at once.
    // Each is timed by the arrival of its last byte. Bytes that cannot start
    // an answer come as one malformed answer, and framing starts again with
    // the next arrival.
    Handling handling(handling_);
    assembler_.Feed(received_);
    bool sentMeanwhile = false;
    for (auto piece = assembler_.Take(); piece; piece = assembler_.Take()) {
        const std::size_t last = piece.end > 0 ? piece.end - 1 : 0;
        const std::int32_t arrived = socket_.ArrivalTick(last);
        const std::int64_t arrivedMicros = traffic_ ? socket_.ArrivalMicros(last) : 0;
        sentMeanwhile =
            HandleAnswer(piece.bytes, arrived, arrivedMicros, sentMeanwhile, piece.malformed) || sentMeanwhile;
        if (ended_)
            return;
    }
    if (assembler_.Pending() > 0)
        HoldUntilIdle();
}

void ClientLogic::HoldUntilIdle()
{
    if (!heldTimer_)
        return;
    if (!received_.empty()) {
        heldSince_ = socket_.ArrivalTick(received_.size());
        heldSinceMicros_ = traffic_ ? socket_.ArrivalMicros(received_.size()) : 0;
    }
    // Armed once for what is held; when it goes off it looks at when the
    // held bytes were last extended, so arrivals need not arm it again.
    if (!heldTimerArmed_) {
        heldTimerArmed_ = true;
        heldTimer_->Start(std::chrono::microseconds(modZeva::kHeldIdleLimit).count());
    }
}

void ClientLogic::Timer_Elapsed()
{
    heldTimerArmed_ = false;
    // Inside an arrival's handler (a message box open) the bytes are that
    // handler's: it arms the timer again as it ends if bytes are still held.
    if (ended_ || handling_ || assembler_.Pending() == 0)
        return;
    const std::int32_t limit = static_cast<std::int32_t>(modZeva::kHeldIdleLimit.count());
    const std::int32_t idle = Elapsed(heldSince_, ticks_.GetTickCount());
    if (idle >= 0 && idle < limit) {
        heldTimerArmed_ = true;
        heldTimer_->Start(static_cast<std::int64_t>(limit - idle) * 1000);
        return;
    }
    // No byte has come for the rest of this frame: what is held is one
    // malformed answer, timed by its last byte.
    {
        Handling handling(handling_);
        HandleAnswer(assembler_.TakeHeld().bytes, heldSince_, heldSinceMicros_, false, true);
    }
    // An arrival while the box was open waited for it to close.
    if (arrivalWaiting_) {
        arrivalWaiting_ = false;
        tcpClient_DataArrival(0);
    }
}

std::int32_t ClientLogic::ShowTimes(std::int32_t arrived, bool sentMeanwhile)
{
    std::int32_t elapsed = Elapsed(sendTick_, arrived);
    // A request sent while handling an earlier answer of the same arrival
    // was stamped after this answer came.
    if (sentMeanwhile && elapsed < 0)
        elapsed = 0;
    if (elapsed < minTime_)
        minTime_ = elapsed;
    if (elapsed > maxTime_)
        maxTime_ = elapsed;
    view_.SetText(Control::txtResTime, std::to_string(elapsed));
    view_.SetText(Control::txtMinTime, std::to_string(minTime_));
    view_.SetText(Control::txtMaxTime, std::to_string(maxTime_));
    return elapsed;
}

std::optional<std::int64_t> ClientLogic::RoundTripMicros(std::int64_t arrivedMicros, bool sentMeanwhile) const
{
    if (!sent_ || !sendMicrosKnown_)
        return std::nullopt;
    const std::int64_t rtt = arrivedMicros - sendMicros_;
    if (rtt >= 0)
        return rtt;
    // As for the milliseconds: a request sent while an earlier answer of the
    // same arrival was handled went out after this answer came. Otherwise
    // the bytes came before there was a clock to stamp them: not timed.
    if (sentMeanwhile)
        return 0;
    return std::nullopt;
}

bool ClientLogic::HandleAnswer(std::span<const std::uint8_t> response, std::int32_t arrived,
                               std::int64_t arrivedMicros, bool sentMeanwhile, bool malformed)
{
    ++answers_;
    // An answer before any request is shown but not timed: there is no send
    // time to take it from.
    std::optional<std::int32_t> elapsed;
    if (sent_)
        elapsed = ShowTimes(arrived, sentMeanwhile);

    modZeva::Answer answer = modZeva::DecodeResponse(response, dataSize_);
    if (malformed && answer.kind != modZeva::AnswerKind::Malformed) {
        // What a frame's start says is not an answer without the rest.
        answer.kind = modZeva::AnswerKind::Malformed;
        answer.errorCode = 0;
        answer.valueText.clear();
    }
    view_.SetText(Control::txtState, answer.stateText ? std::string_view(*answer.stateText) : std::string_view());
    // Before any message box, so that the record has the time of arrival.
    if (observer_) {
        Exchange exchange = DescribeAnswer(answer, elapsed);
        exchange.device = device_;
        exchange.variable = variable_;
        observer_->Exchanged(exchange);
    }
    // An answer when no request is outstanding is shown in the window as
    // any other; for the traffic view it times nothing the device was asked.
    client::AnswerTo to = client::AnswerTo::Request;
    std::uint64_t request = 0;
    if (outstanding_ > 0) {
        // Answers come in the order of the requests: this is the oldest one's.
        request = requestsSent_ - outstanding_ + 1;
        --outstanding_;
    } else {
        const auto command = modZeva::FrameCommand(response);
        to = expectedCommand_ && command && *command == *expectedCommand_ && !malformed ? client::AnswerTo::Duplicate
                                                                                        : client::AnswerTo::Unsolicited;
    }
    if (traffic_) {
        const auto rtt = to == client::AnswerTo::Request ? RoundTripMicros(arrivedMicros, sentMeanwhile) : std::nullopt;
        traffic_->FrameReceived(response, answer, arrivedMicros, rtt, to, request);
    }

    switch (answer.kind) {
    case modZeva::AnswerKind::Malformed:
        box_.Show(modZeva::kTextMalformed, modZeva::kErrorTitle);
        view_.SetText(Control::txtValue, "");
        cmdState_ = 0;
        return false;
    case modZeva::AnswerKind::DeviceError:
        modZeva::ShowErrorCode(box_, answer.errorCode);
        view_.SetText(Control::txtValue, "");
        cmdState_ = 0;
        return false;
    case modZeva::AnswerKind::Read:
        view_.SetText(Control::txtValue, answer.valueText);
        if (cmdState_ == 1) {
            cmdState_ = 0;
        } else if (cmdState_ == 2) {
            ReadVariable();
            return true;
        }
        return false;
    case modZeva::AnswerKind::Status:
        view_.SetText(Control::txtValue, answer.valueText);
        cmdState_ = 0;
        return false;
    case modZeva::AnswerKind::Other:
        cmdState_ = 0;
        return false;
    }
    return false;
}

void ClientLogic::tcpClient_Close()
{
    if (ended_)
        return;
    if (traffic_)
        traffic_->SocketEventHappened(SocketEvent::ClosedByDevice, {});
    End(kCloseTitle, kCloseText);
}

void ClientLogic::tcpClient_Error(const std::string& description)
{
    if (ended_)
        return;
    if (traffic_)
        traffic_->SocketEventHappened(SocketEvent::Error, description);
    End(kErrorTitle, description);
}

void ClientLogic::End(std::string_view title, std::string_view text)
{
    // Events that are still on their way are ignored from here on.
    ended_ = true;
    if (connecting_) {
        connecting_ = false;
        busy_.SetBusy(false);
    }
    box_.Show(text, title);
    socket_.Close();
    end_.End(1);
}

} // namespace client
