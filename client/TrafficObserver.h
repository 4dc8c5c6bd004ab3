#pragma once

#include <modZeva.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace client {

enum class SocketEvent {
    Connected,      // detail: the device as HOST:PORT
    ClosedByDevice, // detail: empty
    Error,          // detail: the socket's text
};

// What an answer is to the client.
enum class AnswerTo {
    Request,     // a request was outstanding: this is its answer
    Duplicate,   // none was, and it has the command of the last request's answer
    Unsolicited, // none was, and it is not the last request's answer (or none was ever sent)
};

// Told of every frame the client logic sends or takes as an answer, and of
// the socket's events, with their times in microseconds of the clock given
// with the observer. The spans and views are valid for the call only. Calls
// come before any message box the frame or event leads to.
class ITrafficObserver {
public:
    virtual ~ITrafficObserver() = default;
    // A request handed to the socket (or held until the connection is up).
    // request: the client's number of it, 1 for the first since start.
    virtual void FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros, std::uint64_t request = 0) = 0;
    // An answer as the logic decoded it. rttMicros: from the newest request's
    // send to the answer's arrival; absent when not timed, and always for an
    // answer to no outstanding request. request: for an answer to a request,
    // the number of the request it answers (the oldest outstanding).
    virtual void FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                               std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros,
                               AnswerTo to = AnswerTo::Request, std::uint64_t request = 0) = 0;
    virtual void SocketEventHappened(SocketEvent event, std::string_view detail) = 0;
};

} // namespace client
