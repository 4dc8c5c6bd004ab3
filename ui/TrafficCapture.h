#pragma once

#include <PcapWriter.h>
#include <TrafficObserver.h>

#include <QString>

#include <cstdint>
#include <deque>
#include <functional>

namespace ui {

class TrafficModel;

// Passes every frame and event on to the traffic view, and notes which
// connection it went over, as the socket tells it, so that a capture saved
// later puts each frame between its own addresses and ports, also after the
// connection has gone. A frame sent while the connection was being made
// belongs to the connection that follows.
class TrafficLinks final : public client::ITrafficObserver {
public:
    using Source = std::function<client::CaptureLink()>;
    explicit TrafficLinks(client::ITrafficObserver& view) : view_(view) {}

    void SetSource(Source source) { source_ = std::move(source); }
    // The connection a frame at `micros` went over; unknown ends when none was noted.
    client::CaptureLink At(std::int64_t micros) const;

    void FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros, std::uint64_t request = 0) override;
    void FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer, std::int64_t arrivedMicros,
                       std::optional<std::int64_t> rttMicros, client::AnswerTo to = client::AnswerTo::Request,
                       std::uint64_t request = 0) override;
    void SocketEventHappened(client::SocketEvent event, std::string_view detail) override;

private:
    void Note(std::int64_t micros);

    // The connections seen, each from the first frame that went over it.
    static constexpr std::size_t kMaxLinks = 1024;
    struct Since {
        std::int64_t micros;
        client::CaptureLink link;
    };
    client::ITrafficObserver& view_;
    Source source_;
    std::deque<Since> links_;
};

// Writes every frame `model` holds, whatever is shown, as a capture file
// with the time stamps of the Time column. False with the reason.
bool SaveTrafficCapture(const QString& path, const TrafficModel& model, const TrafficLinks& links, QString* error);

} // namespace ui
