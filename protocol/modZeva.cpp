#include "modZeva.h"

namespace modZeva {

Sender::Sender(platform::ISocket& socket, platform::ITickCounter& ticks, platform::IMessageBox& box)
    : socket_(socket), ticks_(ticks), box_(box)
{
}

void Sender::MakeHeader()
{
    modZeva::MakeHeader(sendBuf_);
}

SendResult Sender::Finish(SendResult result)
{
    if (result == SendResult::Sent) {
        // The whole buffer in one send, then the send time.
        socket_.SendData(sendBuf_);
        sendTick_ = ticks_.GetTickCount();
    } else if (const std::string_view text = RefusalText(result); !text.empty()) {
        box_.Show(text);
    }
    return result;
}

SendResult Sender::SendReadRequest(std::string_view name, int type)
{
    return Finish(BuildReadRequest(sendBuf_, name, type));
}

SendResult Sender::SendWriteRequest(std::string_view name, std::string_view value, int type)
{
    return Finish(BuildWriteRequest(sendBuf_, name, value, type, static_cast<std::size_t>(TypeSize(type))));
}

SendResult Sender::SendStatusRequest()
{
    BuildStatusRequest(sendBuf_);
    return Finish(SendResult::Sent);
}

} // namespace modZeva
