#pragma once

#include "ExchangeCsv.h"
#include "Statistics.h"

#include <Framing.h>
#include <modZeva.h>

#include <MonotonicClock.h>
#include <Socket.h>
#include <Timer.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace client {

enum class Command { Read, Write, Status, Send };

// What every exchange of a run asks.
struct Request {
    Command command = Command::Read;
    std::string name;  // upper-cased, UTF-8
    int type = 0;      // the code for bytes 22..23
    int dataSize = 0;  // data bytes: those a read answer carries, those a write sends
    std::string value; // write: hexadecimal text, most significant digit first
    // send: the body, put after a header built as for every request; with
    // raw, the whole frame, sent exactly as it is. Wire order.
    std::vector<std::uint8_t> body{};
    // send: no header is built, and as the frame's number need not be one a
    // device echoes, the first frame back is the answer.
    bool raw = false;
};

struct RunSettings {
    platform::Protocol protocol = platform::Protocol::Tcp;
    std::string host = "127.0.0.1";
    std::uint16_t port = 2004;
    std::int64_t responseTimeoutUs = 1'000'000;
    std::int64_t connectTimeoutUs = 3'000'000;
    int retries = 0;             // UDP: copies sent again after a timeout, each with a fresh sequence number
    std::uint64_t count = 1;     // rounds in the run; 0: no limit
    std::int64_t durationUs = 0; // no round starts after this; 0: no limit
    std::int64_t intervalUs = 0; // round start to round start; 0: the next round as soon as the last answer is in
    bool trace = false;          // report every frame sent and received
    // TCP: a connection closed by the device, or one that cannot be made
    // again, loses at most the request of that round, and the run goes on
    // with a new connection. Without it the run ends there.
    bool reconnect = false;
    // With reconnect, one of many devices: a first connection that cannot
    // be made, and a failure of the UDP socket, lose the round's requests
    // too, and the device is tried again, instead of ending the run.
    bool retryUnreachable = false;
};

// One exchange as it ended, or one answer that was not taken.
struct ExchangeReport {
    Outcome outcome = Outcome::Answer;
    // The request's sequence number; for an answer not taken, the answer's
    // own (absent when it is too short to carry one).
    std::optional<std::uint16_t> seq;
    std::optional<std::int64_t> rttMicros;   // answers taken
    const modZeva::Answer* answer = nullptr; // decoded; null for a timeout
    int retries = 0;                         // copies sent again for this request
    std::size_t bytes = 0;                   // the length of the frame received
    std::string_view reason;                 // closed: what became of the connection
    std::span<const std::uint8_t> frame;     // the bytes received, valid for the call; empty if none
    // The request of the round it belongs to: for a late answer the one its
    // number was sent for, when still known.
    std::size_t variable = 0;
};

enum class Ending { Done, Interrupted, TransportFailure };

class IEngineEvents {
public:
    virtual ~IEngineEvents() = default;
    virtual void Engine_Exchange(const ExchangeReport& report) = 0;
    // With RunSettings::trace: a frame sent or received, with the clock's
    // reading, and the request of the round it went out for or is taken to
    // answer.
    virtual void Engine_Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros,
                              std::size_t variable) = 0;
    // The run is over; `reason` describes a transport failure.
    virtual void Engine_Finished(Ending ending, std::string_view reason) = 0;
};

// Drives the exchanges of one run with one device over the socket. A run is
// made of rounds; a round sends each request of the run once, in order, the
// next as soon as the last is answered. One request is outstanding at a time, each with a running sequence number in bytes 14..15 that skips
// 0 when it wraps (0 is what a device that does not echo those bytes
// returns). An answer is taken only when it carries the number of a copy of
// the outstanding request, and is timed from that copy's send; any other is
// late, counted and reported but never taken. A request without an answer in
// time is sent again (UDP, up to the retries) or times out; over TCP a
// timeout also drops the connection, and a new one is made before the next
// request, so that a stream left mid-frame cannot shift later answers. Bytes
// held for a frame that never completed are reported as one malformed frame
// when the connection is dropped.
//
// With RunSettings::reconnect, a connection the device closes while no
// request is outstanding is no failure: the next request connects again. A
// request outstanding on it, or the rest of a round whose connection cannot
// be made again, is lost (Outcome::Closed). While connections fail without
// an answer, a new one is tried at most once a second.
//
// Statistics are kept per request of the round; the connections made again
// belong to the device and are counted in each.
class Engine final : public platform::ISocketEvents, public platform::ITimerEvents {
public:
    Engine(platform::ISocket& socket, platform::ITimer& timer, platform::IMonotonicClock& clock,
           IEngineEvents& events);
    ~Engine() override;

    // Builds the request's frame and sends nothing: Sent, or what Start()
    // would refuse.
    static modZeva::SendResult Check(const Request& request);

    // The value size to decode an answer to `request` with: the request's
    // own, or for send, the size the answer states.
    static int AnswerDataSize(const Request& request, std::span<const std::uint8_t> frame);

    // Over TCP connects first, over UDP sends at once. A refused request
    // starts nothing: Start() checks every request of the round.
    modZeva::SendResult Start(const RunSettings& settings, std::span<const Request> round);
    modZeva::SendResult Start(const RunSettings& settings, const Request& request)
    {
        return Start(settings, std::span<const Request>(&request, 1));
    }

    // Ends the run at once. A request still outstanding is not counted.
    void Interrupt();

    // What the run did with one request of the round.
    const RunStatistics& Stats(std::size_t variable = 0) const { return stats_[variable]; }
    std::size_t Variables() const { return stats_.size(); }
    bool Finished() const { return phase_ == Phase::Finished; }
    // Whether a request was outstanding when the run was interrupted.
    bool Abandoned() const { return abandoned_; }

    void tcpClient_Connect() override;
    void tcpClient_DataArrival(std::size_t bytesTotal) override;
    void tcpClient_Close() override;
    void tcpClient_Error(const std::string& description) override;
    void Timer_Elapsed() override;

private:
    enum class Phase { Idle, Connecting, Waiting, Outstanding, Finished };

    static modZeva::SendResult Build(std::vector<std::uint8_t>& frame, const Request& request, std::uint16_t seq);
    // The next round is due.
    void StartRound(std::int64_t now);
    // The round's current request is due: connects first if there is no
    // connection, and while connections fail, loses the rest of the round.
    void StartExchange();
    // A copy of the current request, with a fresh sequence number.
    void Send();
    // The number the outstanding request went out with; absent for a raw
    // frame too short to carry one.
    std::optional<std::uint16_t> OutstandingSeq() const;
    // Makes sure the timer fires by `at`. One armed for an earlier moment is
    // left as it is, so that exchanges answered in time cost no timer call.
    void WakeAt(std::int64_t at, std::int64_t now);
    // What the last GetData fetched: frames, late answers, garbage.
    void HandleArrival(std::int64_t now);
    void HandleFrame(std::span<const std::uint8_t> frame, std::int64_t now);
    // Reports what the assembler holds of a frame that never completed.
    void ReportHeld(std::int64_t now);
    // Reports bytes that are no answer as one malformed frame, already dropped.
    void ReportMalformed(std::span<const std::uint8_t> bytes, std::int64_t now);
    void TimedOut();
    // The device closed the connection, or it failed or could not be made.
    void TransportLost(std::string_view reason);
    // The round's current request is lost with its connection, and the rest
    // of the round with it when no connection is to be tried; seq when it
    // went out.
    void LoseRequest(std::optional<std::uint16_t> seq, std::string_view reason);
    // The current request is over: the next of the round, or the next round.
    void Complete();
    // The request a received sequence number was sent for, if still known.
    std::size_t VariableOf(std::optional<std::uint16_t> seq) const;
    // While connections fail, whether the last was tried too recently for
    // another.
    bool Held(std::int64_t now) const;
    RunStatistics& Current() { return stats_[index_]; }
    void ScheduleNext();
    void DropConnection();
    void Fail(std::string_view reason);
    void Finish(Ending ending, std::string_view reason);

    platform::ISocket& socket_;
    platform::ITimer& timer_;
    platform::IMonotonicClock& clock_;
    IEngineEvents& events_;

    RunSettings settings_;
    std::vector<Request> round_;
    std::size_t index_ = 0; // the request of the round under way
    const Request* request_ = nullptr;
    Phase phase_ = Phase::Idle;
    bool connected_ = false;
    bool abandoned_ = false;
    bool inArrival_ = false; // an arrival is being handled

    std::vector<std::uint8_t> sendBuf_;
    std::vector<std::uint8_t> received_;
    modZeva::FrameAssembler assembler_;

    // One copy of the current request: its number, and the clock's reading
    // just before it went out.
    struct Copy {
        std::uint16_t seq = 0;
        std::int64_t sent = 0;
    };

    std::uint16_t nextSeq_ = 1;
    std::uint16_t seq_ = 0;     // the copy outstanding
    int copies_ = 0;            // copies of the current request sent again
    std::vector<Copy> sentCopies_; // room for every copy, made once at Start()
    std::int64_t slotStart_ = 0; // when the current request became due
    std::int64_t deadline_ = 0;  // end of the run's duration
    std::int64_t connectDeadline_ = 0;
    std::int64_t responseDeadline_ = 0;
    bool timerArmed_ = false;
    std::int64_t timerAt_ = 0;
    std::uint64_t done_ = 0;    // exchanges ended

    bool everConnected_ = false;
    bool connectionAnswered_ = false; // an answer was taken on this connection
    bool failing_ = false;            // the last connection closed or failed unanswered
    std::int64_t lastAttempt_ = 0;    // when a connection was last tried
    std::string lastFailure_;         // why the last connection closed or failed
    bool udpReset_ = false;           // the UDP socket failed: set up again before the next send

    // The request each recent sequence number went out for, so that a late
    // answer is decoded by its own request's size.
    static constexpr std::size_t kRecentSeqs = 64;
    struct SentFor {
        std::uint16_t seq = 0;
        std::uint32_t variable = 0;
    };
    std::array<SentFor, kRecentSeqs> recent_{};

    std::vector<RunStatistics> stats_;
};

} // namespace client
