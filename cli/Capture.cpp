#include "Capture.h"

#include <chrono>

namespace cli {

Capture::Capture(const QString& path, std::FILE* err, std::int64_t nowMicros)
    : path_(path), err_(err),
      toUnix_(std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count()
              - nowMicros)
{
}

bool Capture::Open(QString* error)
{
    const QByteArray name = path_.toUtf8();
    if (writer_.Open(client::PathFromUtf8(std::string_view(name.constData(), std::size_t(name.size()))),
                     "zeva " ZEVA_VERSION))
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path_, QString::fromLocal8Bit(writer_.Failure().c_str()));
    return false;
}

void Capture::Add(const client::CaptureLink& link, bool sent, std::int64_t micros, std::span<const std::uint8_t> frame)
{
    if (!writer_.Add(link, sent, micros + toUnix_, frame))
        Report();
}

void Capture::Flush()
{
    if (!writer_.Flush())
        Report();
}

void Capture::Close()
{
    if (!writer_.Close())
        Report();
}

void Capture::Report()
{
    if (reported_ || !writer_.Failed())
        return;
    reported_ = true;
    const QByteArray text = QStringLiteral("zeva: writing %1 failed (%2); no more packets are captured, the run goes on\n")
                                .arg(path_, QString::fromLocal8Bit(writer_.Failure().c_str()))
                                .toLocal8Bit();
    std::fwrite(text.constData(), 1, std::size_t(text.size()), err_);
    std::fflush(err_);
}

client::CaptureLink DeviceCapture::Link()
{
    client::CaptureLink link{socket_.GetProtocol(), socket_.LocalEndpoint(), socket_.PeerEndpoint()};
    if (link.local.Known() && link.peer.Known())
        last_ = link;
    last_.protocol = link.protocol;
    // A frame handled after its connection was dropped (bytes of one never
    // completed) belongs to the last one known.
    return last_;
}

void DeviceCapture::Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros)
{
    Settle();
    const client::CaptureLink link = Link();
    if (sent && !link.local.Known()) {
        held_.assign(frame.begin(), frame.end());
        heldMicros_ = micros;
        holding_ = true;
        return;
    }
    capture_.Add(link, sent, micros, frame);
}

void DeviceCapture::Settle()
{
    if (!holding_)
        return;
    holding_ = false;
    capture_.Add(Link(), true, heldMicros_, held_);
}

} // namespace cli
