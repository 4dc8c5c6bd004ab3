#include "Engine.h"

#include <Wire.h>

namespace client {

using modZeva::SendResult;

namespace {

// While connections fail, a new one is tried no sooner than this after the last.
constexpr std::int64_t kReconnectPauseUs = 1'000'000;

// A datagram starts a device frame when it holds a header with the
// device's direction byte, as the TCP framing tells one. Anything else is
// garbage, never an answer; a device frame cut short is an answer that
// cannot be read.
bool DeviceDatagram(std::span<const std::uint8_t> datagram)
{
    return datagram.size() >= modZeva::kHeaderSize && datagram[modZeva::kDirection] == modZeva::kFromDevice;
}

} // namespace

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
    case Command::Send:
        if (!request.raw)
            return modZeva::BuildBodyRequest(frame, request.body, seq);
        if (request.body.empty())
            return SendResult::Empty;
        if (request.body.size() > modZeva::kMaxFrame)
            return SendResult::BodyTooLong;
        frame.assign(request.body.begin(), request.body.end());
        return SendResult::Sent;
    }
    return SendResult::Empty;
}

int Engine::AnswerDataSize(const Request& request, std::span<const std::uint8_t> frame)
{
    return request.command == Command::Send ? modZeva::ReadAnswerSize(frame) : request.dataSize;
}

SendResult Engine::Check(const Request& request)
{
    std::vector<std::uint8_t> frame;
    modZeva::MakeHeader(frame);
    return Build(frame, request, 0);
}

SendResult Engine::Start(const RunSettings& settings, std::span<const Request> round)
{
    if (round.empty())
        return SendResult::Empty;
    for (const Request& request : round) {
        const SendResult checked = Check(request);
        if (checked != SendResult::Sent)
            return checked;
    }
    if (phase_ != Phase::Idle)
        return SendResult::Sent;

    settings_ = settings;
    round_.assign(round.begin(), round.end());
    for (Request& request : round_)
        request.raw = request.command == Command::Send && request.raw;
    stats_.assign(round_.size(), RunStatistics{});
    socket_.SetListener(this);
    timer_.SetListener(this);
    socket_.SetProtocol(settings_.protocol);
    socket_.SetRemoteHost(settings_.host);
    socket_.SetRemotePort(settings_.port);
    const bool udp = settings_.protocol == platform::Protocol::Udp;
    sentCopies_.assign(static_cast<std::size_t>(udp && settings_.retries > 0 ? settings_.retries : 0) + 1, Copy{});

    const std::int64_t now = clock_.NowMicros();
    deadline_ = now + settings_.durationUs;
    StartRound(now);
    return SendResult::Sent;
}

void Engine::Interrupt()
{
    if (phase_ == Phase::Finished)
        return;
    abandoned_ = phase_ == Phase::Outstanding;
    // Copies sent for a request that is not counted are not counted either.
    if (abandoned_)
        Current().retries -= static_cast<std::uint64_t>(copies_);
    Finish(Ending::Interrupted, {});
}

void Engine::StartRound(std::int64_t now)
{
    slotStart_ = now;
    index_ = 0;
    StartExchange();
}

void Engine::StartExchange()
{
    request_ = &round_[index_];
    copies_ = 0;
    // A close that came right behind the last answer is looked for before a
    // request is written after it: the request goes out on a new connection
    // instead of being lost with this one.
    if (settings_.protocol == platform::Protocol::Tcp && connected_ && inArrival_ && socket_.PeerClosed()) {
        phase_ = Phase::Waiting;
        TransportLost("connection closed by the device");
        if (phase_ == Phase::Finished)
            return;
        request_ = &round_[index_];
        copies_ = 0;
    }
    if (settings_.protocol == platform::Protocol::Tcp && !connected_) {
        phase_ = Phase::Connecting;
        const std::int64_t at = clock_.NowMicros();
        lastAttempt_ = at;
        connectDeadline_ = at + settings_.connectTimeoutUs;
        WakeAt(connectDeadline_, at);
        socket_.Connect();
        return;
    }
    Send();
}

void Engine::Send()
{
    if (udpReset_) {
        // Set up again after a failure; the socket sends nothing before.
        udpReset_ = false;
        socket_.SetRemoteHost(settings_.host);
    }
    seq_ = nextSeq_;
    nextSeq_ = nextSeq_ == 0xFFFF ? 1 : nextSeq_ + 1;
    Build(sendBuf_, *request_, seq_); // cannot be refused: Start() checked it
    if (request_->raw) // the number the frame carries, if any
        seq_ = modZeva::FrameSequence(sendBuf_).value_or(0);
    recent_[seq_ % kRecentSeqs] = SentFor{seq_, static_cast<std::uint32_t>(index_)};
    if (settings_.trace)
        events_.Engine_Frame(true, sendBuf_, clock_.NowMicros(), index_);
    phase_ = Phase::Outstanding;
    const std::int64_t at = clock_.NowMicros();
    responseDeadline_ = at + settings_.responseTimeoutUs;
    WakeAt(responseDeadline_, at);
    Copy& copy = sentCopies_[static_cast<std::size_t>(copies_)];
    copy.seq = seq_;
    copy.sent = clock_.NowMicros();
    socket_.SendData(sendBuf_);
}

std::optional<std::uint16_t> Engine::OutstandingSeq() const
{
    if (request_->raw)
        return modZeva::FrameSequence(sendBuf_);
    return seq_;
}

std::size_t Engine::VariableOf(std::optional<std::uint16_t> seq) const
{
    if (seq) {
        const SentFor& sent = recent_[*seq % kRecentSeqs];
        if (sent.seq == *seq && sent.variable < round_.size())
            return sent.variable;
    }
    return index_;
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
    connectionAnswered_ = false;
    failing_ = false;
    if (everConnected_) {
        for (RunStatistics& s : stats_)
            ++s.reconnects;
    }
    everConnected_ = true;
    Send();
}

void Engine::tcpClient_DataArrival(std::size_t)
{
    // Read first, so that nothing done here counts as round trip.
    const std::int64_t now = clock_.NowMicros();
    socket_.GetData(received_);
    if (phase_ == Phase::Idle || phase_ == Phase::Finished)
        return;
    inArrival_ = true;
    HandleArrival(now);
    inArrival_ = false;
}

void Engine::HandleArrival(std::int64_t now)
{
    if (settings_.protocol == platform::Protocol::Udp) {
        // A raw frame's answer is whatever comes first.
        if (!received_.empty() && (request_->raw || DeviceDatagram(received_)))
            HandleFrame(received_, now);
        else if (!received_.empty())
            ReportMalformed(received_, now);
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
        // Bytes that cannot start a device frame: never taken as the
        // answer, and already dropped; framing starts again with the next
        // arrival.
        ReportMalformed(piece.bytes, now);
    }
}

void Engine::HandleFrame(std::span<const std::uint8_t> frame, std::int64_t now)
{
    const std::optional<std::uint16_t> seq = modZeva::FrameSequence(frame);
    // Decoded by the size of the request its number went out for.
    const std::size_t variable = request_->raw ? index_ : VariableOf(seq);
    if (settings_.trace)
        events_.Engine_Frame(false, frame, now, variable);
    const modZeva::Answer answer = modZeva::DecodeResponse(frame, AnswerDataSize(round_[variable], frame));
    ExchangeReport report;
    report.answer = &answer;
    report.seq = seq;
    report.bytes = frame.size();
    report.frame = frame;
    report.variable = variable;
    if (!report.seq && !request_->raw) {
        // Too short to be matched with any request.
        ++stats_[variable].malformed;
        report.outcome = Outcome::Malformed;
        events_.Engine_Exchange(report);
        return;
    }
    // The answer to any copy of the current request is its answer. A copy
    // sent while this arrival was being handled cannot be answered by it.
    // Once the request has timed out, an answer is late, whether or not the
    // timer has fired yet (it may wait behind other work).
    const Copy* answered = nullptr;
    if (phase_ == Phase::Outstanding && request_->raw) {
        // No number to match with: the first frame back is the answer.
        const Copy& copy = sentCopies_[static_cast<std::size_t>(copies_)];
        if (now >= copy.sent && now < responseDeadline_)
            answered = &copy;
    } else if (phase_ == Phase::Outstanding) {
        for (int i = copies_; i >= 0 && !answered; --i) {
            const Copy& copy = sentCopies_[static_cast<std::size_t>(i)];
            if (copy.seq == *report.seq && now >= copy.sent && now < responseDeadline_)
                answered = &copy;
        }
    }
    if (!answered) {
        ++stats_[variable].late;
        report.outcome = Outcome::Late;
        events_.Engine_Exchange(report);
        return;
    }

    const std::int64_t rtt = now - answered->sent;
    RunStatistics& stats = Current();
    ++stats.sent;
    ++stats.answered;
    stats.AddRtt(rtt, answered->seq);
    connectionAnswered_ = true;
    failing_ = false;
    report.variable = index_;
    switch (answer.kind) {
    case modZeva::AnswerKind::Malformed:
        ++stats.malformed;
        report.outcome = Outcome::Malformed;
        break;
    case modZeva::AnswerKind::DeviceError:
        ++stats.deviceErrors;
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
            TransportLost("no connection within " + std::to_string(settings_.connectTimeoutUs / 1000) + " ms");
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
        ++Current().retries;
        Send();
        return;
    }
    if (settings_.protocol == platform::Protocol::Tcp)
        ReportHeld(clock_.NowMicros());
    ++Current().sent;
    ++Current().timeouts;
    ExchangeReport report;
    report.outcome = Outcome::Timeout;
    report.seq = OutstandingSeq();
    report.retries = copies_;
    report.variable = index_;
    if (settings_.protocol == platform::Protocol::Tcp)
        DropConnection();
    events_.Engine_Exchange(report);
    Complete();
}

void Engine::ReportHeld(std::int64_t now)
{
    if (const auto piece = assembler_.TakeHeld())
        ReportMalformed(piece.bytes, now);
}

void Engine::ReportMalformed(std::span<const std::uint8_t> bytes, std::int64_t now)
{
    const std::optional<std::uint16_t> seq = modZeva::FrameSequence(bytes);
    const std::size_t variable = VariableOf(seq);
    if (settings_.trace)
        events_.Engine_Frame(false, bytes, now, variable);
    const modZeva::Answer answer = modZeva::DecodeResponse(bytes, AnswerDataSize(round_[variable], bytes));
    ExchangeReport report;
    report.outcome = Outcome::Malformed;
    report.answer = &answer;
    report.seq = seq;
    report.bytes = bytes.size();
    report.frame = bytes;
    report.variable = variable;
    ++stats_[variable].malformed;
    events_.Engine_Exchange(report);
}

void Engine::LoseRequest(std::optional<std::uint16_t> seq, std::string_view reason)
{
    const std::string why(reason); // may be what the next failure replaces
    for (;;) {
        ++Current().sent;
        ++Current().closed;
        ExchangeReport report;
        report.outcome = Outcome::Closed;
        report.seq = seq;
        report.reason = why;
        report.variable = index_;
        events_.Engine_Exchange(report);
        if (phase_ == Phase::Finished)
            return;
        // The rest of the round needs a connection, and none is tried
        // before its time while connections fail.
        if (index_ + 1 >= round_.size() || !Held(clock_.NowMicros()))
            break;
        ++index_;
        request_ = &round_[index_];
        copies_ = 0;
        seq.reset();
    }
    Complete();
}

bool Engine::Held(std::int64_t now) const
{
    const bool unconnected = settings_.protocol == platform::Protocol::Udp || !connected_;
    return failing_ && unconnected && now < lastAttempt_ + kReconnectPauseUs;
}

void Engine::Complete()
{
    if (index_ + 1 < round_.size()) {
        ++index_;
        StartExchange();
        return;
    }
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
    // While connections fail, the next is tried a while after the last.
    const bool held = failing_ && (!connected_ || settings_.protocol == platform::Protocol::Udp);
    if (!held && settings_.intervalUs <= 0 && settings_.durationUs <= 0) {
        StartRound(0);
        return;
    }
    const std::int64_t now = clock_.NowMicros();
    if (settings_.durationUs > 0 && now >= deadline_) {
        Finish(Ending::Done, {});
        return;
    }
    // An exchange longer than the period is followed at once, and the next
    // period counts from there: no burst to catch up.
    std::int64_t due = slotStart_ + settings_.intervalUs;
    if (held && due < lastAttempt_ + kReconnectPauseUs)
        due = lastAttempt_ + kReconnectPauseUs;
    if (due <= now) {
        // A wake a little late keeps the period: the round counts from when
        // it was due. One later than a whole period counts from now.
        StartRound(!held && now - due < settings_.intervalUs ? due : now);
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
    TransportLost("connection closed by the device");
}

void Engine::tcpClient_Error(const std::string& description)
{
    TransportLost(description);
}

void Engine::TransportLost(std::string_view reason)
{
    if (phase_ == Phase::Idle || phase_ == Phase::Finished)
        return;
    const bool tcp = settings_.protocol == platform::Protocol::Tcp;
    if (tcp && phase_ != Phase::Connecting)
        ReportHeld(clock_.NowMicros());
    // The first connection, UDP's socket and a one-shot command end the run,
    // unless the device is one of many.
    const bool retry = settings_.reconnect && (settings_.retryUnreachable || (tcp && everConnected_));
    if (!retry) {
        Fail(reason);
        return;
    }
    lastFailure_.assign(reason);
    const bool outstanding = phase_ == Phase::Outstanding;
    if (!tcp) {
        // The socket is set up again for the next send, no sooner than a
        // connection would be tried.
        udpReset_ = true;
        failing_ = true;
        lastAttempt_ = clock_.NowMicros();
        if (outstanding)
            LoseRequest(OutstandingSeq(), lastFailure_);
        return;
    }
    if (phase_ == Phase::Connecting) {
        failing_ = true;
        DropConnection();
        LoseRequest(std::nullopt, lastFailure_);
        return;
    }
    failing_ = !connectionAnswered_;
    DropConnection();
    if (outstanding)
        LoseRequest(OutstandingSeq(), lastFailure_);
}

void Engine::Fail(std::string_view reason)
{
    if (phase_ == Phase::Idle || phase_ == Phase::Finished)
        return;
    // The request outstanding went out and is lost with the connection.
    if (phase_ == Phase::Outstanding) {
        ++Current().sent;
        ++Current().closed;
    }
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
