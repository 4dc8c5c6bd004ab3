#include "Engine.h"

namespace client {

using modZeva::SendResult;

Engine::Engine(platform::ISocket& socket, platform::ITimer& timer, platform::IMonotonicClock& clock,
               IEngineEvents& events)
    : socket_(socket), timer_(timer), clock_(clock), events_(events)
{
    modZeva::MakeHeader(sendBuf_);
}

Engine::~Engine()
{
    if (phase_ != Phase::Idle) {
        socket_.SetListener(nullptr);
        timer_.SetListener(nullptr);
    }
}

SendResult Engine::Build(std::vector<std::uint8_t>& frame, const Request& request, std::uint16_t seq)
{
    switch (request.command) {
    case Command::Read:
        return modZeva::BuildReadRequest(frame, request.name, request.type, seq);
    case Command::Write:
        return modZeva::BuildWriteRequest(frame, request.name, request.value, request.type,
                                          request.dataSize > 0 ? static_cast<std::size_t>(request.dataSize) : 0,
                                          seq);
    case Command::Status:
        modZeva::BuildStatusRequest(frame, seq);
        return SendResult::Sent;
    }
    return SendResult::Empty;
}

SendResult Engine::Check(const Request& request)
{
    std::vector<std::uint8_t> frame;
    modZeva::MakeHeader(frame);
    return Build(frame, request, 0);
}

SendResult Engine::Start(const RunSettings& settings, const Request& request)
{
    const SendResult checked = Check(request);
    if (checked != SendResult::Sent || phase_ != Phase::Idle)
        return checked;

    settings_ = settings;
    request_ = request;
    socket_.SetListener(this);
    timer_.SetListener(this);
    socket_.SetProtocol(settings_.protocol);
    socket_.SetRemoteHost(settings_.host);
    socket_.SetRemotePort(settings_.port);

    const std::int64_t now = clock_.NowMicros();
    deadline_ = now + settings_.durationUs;
    StartExchange(now);
    return SendResult::Sent;
}

void Engine::Interrupt()
{
    if (phase_ == Phase::Finished)
        return;
    abandoned_ = phase_ == Phase::Outstanding;
    Finish(Ending::Interrupted, {});
}

void Engine::StartExchange(std::int64_t now)
{
    slotStart_ = now;
    copies_ = 0;
    if (settings_.protocol == platform::Protocol::Tcp && !connected_) {
        phase_ = Phase::Connecting;
        const std::int64_t at = clock_.NowMicros();
        connectDeadline_ = at + settings_.connectTimeoutUs;
        WakeAt(connectDeadline_, at);
        socket_.Connect();
        return;
    }
    Send();
}

void Engine::Send()
{
    seq_ = nextSeq_++;
    Build(sendBuf_, request_, seq_); // cannot be refused: Start() checked it
    if (settings_.trace)
        events_.Engine_Frame(true, sendBuf_, clock_.NowMicros());
    phase_ = Phase::Outstanding;
    const std::int64_t at = clock_.NowMicros();
    responseDeadline_ = at + settings_.responseTimeoutUs;
    WakeAt(responseDeadline_, at);
    sendTime_ = clock_.NowMicros();
    socket_.SendData(sendBuf_);
}

void Engine::WakeAt(std::int64_t at, std::int64_t now)
{
    if (timerArmed_ && timerAt_ <= at)
        return;
    timer_.Start(at - now);
    timerArmed_ = true;
    timerAt_ = at;
}

void Engine::tcpClient_Connect()
{
    if (phase_ != Phase::Connecting)
        return;
    connected_ = true;
    Send();
}

void Engine::tcpClient_DataArrival(std::size_t)
{
    // Read first, so that nothing done here counts as round trip.
    const std::int64_t now = clock_.NowMicros();
    socket_.GetData(received_);
    if (phase_ == Phase::Idle || phase_ == Phase::Finished)
        return;

    if (settings_.protocol == platform::Protocol::Udp) {
        if (!received_.empty())
            HandleFrame(received_, now);
        return;
    }
    // TCP is a byte stream: an answer may come in pieces, or several at once.
    assembler_.Feed(received_);
    for (auto piece = assembler_.Take(); piece; piece = assembler_.Take()) {
        if (!piece.malformed) {
            HandleFrame(piece.bytes, now);
            if (phase_ == Phase::Finished)
                return;
            continue;
        }
        // Bytes that cannot start a device frame: reported as malformed,
        // never taken as the answer, and already dropped; framing starts
        // again with the next arrival.
        if (settings_.trace)
            events_.Engine_Frame(false, piece.bytes, now);
        const modZeva::Answer answer = modZeva::DecodeResponse(piece.bytes, request_.dataSize);
        ExchangeReport report;
        report.outcome = Outcome::Malformed;
        report.answer = &answer;
        report.seq = modZeva::FrameSequence(piece.bytes);
        ++stats_.malformed;
        events_.Engine_Exchange(report);
    }
}

void Engine::HandleFrame(std::span<const std::uint8_t> frame, std::int64_t now)
{
    if (settings_.trace)
        events_.Engine_Frame(false, frame, now);

    const modZeva::Answer answer = modZeva::DecodeResponse(frame, request_.dataSize);
    ExchangeReport report;
    report.answer = &answer;
    report.seq = modZeva::FrameSequence(frame);
    if (!report.seq) {
        // Too short to be matched with any request.
        ++stats_.malformed;
        report.outcome = Outcome::Malformed;
        events_.Engine_Exchange(report);
        return;
    }
    // A request sent while this arrival was being handled cannot be
    // answered by it.
    if (phase_ != Phase::Outstanding || *report.seq != seq_ || now < sendTime_) {
        ++stats_.late;
        report.outcome = Outcome::Late;
        events_.Engine_Exchange(report);
        return;
    }

    const std::int64_t rtt = now - sendTime_;
    ++stats_.sent;
    ++stats_.answered;
    stats_.AddRtt(rtt, seq_);
    switch (answer.kind) {
    case modZeva::AnswerKind::Malformed:
        ++stats_.malformed;
        report.outcome = Outcome::Malformed;
        break;
    case modZeva::AnswerKind::DeviceError:
        ++stats_.deviceErrors;
        report.outcome = Outcome::DeviceError;
        break;
    default:
        report.outcome = Outcome::Answer;
        break;
    }
    report.rttMicros = rtt;
    report.retries = copies_;
    events_.Engine_Exchange(report);
    Complete();
}

void Engine::Timer_Elapsed()
{
    timerArmed_ = false;
    // The timer may have been armed for an earlier moment than the one now
    // awaited; then it is armed again for the rest.
    const std::int64_t now = clock_.NowMicros();
    switch (phase_) {
    case Phase::Connecting:
        if (now < connectDeadline_)
            WakeAt(connectDeadline_, now);
        else
            Fail("no connection within " + std::to_string(settings_.connectTimeoutUs / 1000) + " ms");
        return;
    case Phase::Outstanding:
        if (now < responseDeadline_)
            WakeAt(responseDeadline_, now);
        else
            TimedOut();
        return;
    case Phase::Waiting:
        ScheduleNext();
        return;
    case Phase::Idle:
    case Phase::Finished:
        return;
    }
}

void Engine::TimedOut()
{
    if (settings_.protocol == platform::Protocol::Udp && copies_ < settings_.retries) {
        ++copies_;
        ++stats_.retries;
        Send();
        return;
    }
    ++stats_.sent;
    ++stats_.timeouts;
    ExchangeReport report;
    report.outcome = Outcome::Timeout;
    report.seq = seq_;
    report.retries = copies_;
    if (settings_.protocol == platform::Protocol::Tcp)
        DropConnection();
    events_.Engine_Exchange(report);
    Complete();
}

void Engine::Complete()
{
    ++done_;
    phase_ = Phase::Waiting;
    ScheduleNext();
}

void Engine::ScheduleNext()
{
    if (phase_ == Phase::Finished)
        return;
    if (settings_.count != 0 && done_ >= settings_.count) {
        Finish(Ending::Done, {});
        return;
    }
    if (settings_.intervalUs <= 0 && settings_.durationUs <= 0) {
        StartExchange(0);
        return;
    }
    const std::int64_t now = clock_.NowMicros();
    if (settings_.durationUs > 0 && now >= deadline_) {
        Finish(Ending::Done, {});
        return;
    }
    // An exchange longer than the period is followed at once, and the next
    // period counts from there: no burst to catch up.
    const std::int64_t due = slotStart_ + settings_.intervalUs;
    if (due <= now) {
        StartExchange(now);
        return;
    }
    const std::int64_t wake = settings_.durationUs > 0 && deadline_ < due ? deadline_ : due;
    phase_ = Phase::Waiting;
    WakeAt(wake, now);
}

void Engine::DropConnection()
{
    socket_.Close();
    connected_ = false;
    assembler_.Clear();
}

void Engine::tcpClient_Close()
{
    Fail("connection closed by the device");
}

void Engine::tcpClient_Error(const std::string& description)
{
    Fail(description);
}

void Engine::Fail(std::string_view reason)
{
    if (phase_ == Phase::Idle || phase_ == Phase::Finished)
        return;
    // The request outstanding went out and will never be answered.
    if (phase_ == Phase::Outstanding)
        ++stats_.sent;
    Finish(Ending::TransportFailure, reason);
}

void Engine::Finish(Ending ending, std::string_view reason)
{
    if (phase_ == Phase::Finished)
        return;
    phase_ = Phase::Finished;
    timer_.Stop();
    timerArmed_ = false;
    socket_.Close();
    connected_ = false;
    events_.Engine_Finished(ending, reason);
}

} // namespace client
