#include "TrafficCapture.h"

#include "TrafficModel.h"

#include <algorithm>
#include <vector>

namespace ui {

namespace {

bool Same(const client::CaptureLink& a, const client::CaptureLink& b)
{
    return a.protocol == b.protocol && a.local == b.local && a.peer == b.peer;
}

} // namespace

void TrafficLinks::Note(std::int64_t micros)
{
    if (!source_)
        return;
    const client::CaptureLink link = source_();
    if (!link.local.Known() || !link.peer.Known() || (!links_.empty() && Same(links_.back().link, link)))
        return;
    if (links_.size() == kMaxLinks)
        links_.pop_front();
    links_.push_back(Since{micros, link});
}

client::CaptureLink TrafficLinks::At(std::int64_t micros) const
{
    if (links_.empty())
        return source_ ? client::CaptureLink{source_().protocol, {}, {}} : client::CaptureLink{};
    const auto after = std::upper_bound(links_.begin(), links_.end(), micros,
                                        [](std::int64_t m, const Since& s) { return m < s.micros; });
    return after == links_.begin() ? links_.front().link : std::prev(after)->link;
}

void TrafficLinks::FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros, std::uint64_t request)
{
    Note(sentMicros);
    view_.FrameSent(frame, sentMicros, request);
}

void TrafficLinks::FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                                 std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros,
                                 client::AnswerTo to, std::uint64_t request)
{
    Note(arrivedMicros);
    view_.FrameReceived(frame, answer, arrivedMicros, rttMicros, to, request);
}

void TrafficLinks::SocketEventHappened(client::SocketEvent event, std::string_view detail)
{
    view_.SocketEventHappened(event, detail);
}

bool SaveTrafficCapture(const QString& path, const TrafficModel& model, const TrafficLinks& links, QString* error)
{
    std::vector<client::CaptureFrame> frames;
    model.ForEachHeld([&](const TrafficRow& row) {
        if (row.dir == TrafficRow::Dir::Event)
            return;
        frames.push_back(client::CaptureFrame{links.At(row.micros), row.dir == TrafficRow::Dir::Tx,
                                              model.WallMicros(row.micros), row.bytes, row.length});
    });
    const QByteArray name = path.toUtf8();
    std::string reason;
    if (client::SaveCapture(client::PathFromUtf8(std::string_view(name.constData(), std::size_t(name.size()))),
                            "zeva " ZEVA_VERSION, frames, &reason))
        return true;
    if (error)
        *error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

} // namespace ui
