#include "ExchangeObserver.h"

namespace client {

Exchange DescribeAnswer(const modZeva::Answer& answer, std::optional<std::int32_t> elapsedMs)
{
    Exchange exchange;
    exchange.elapsedMs = elapsedMs;
    if (answer.stateText)
        exchange.state = *answer.stateText;
    switch (answer.kind) {
    case modZeva::AnswerKind::Malformed:
        exchange.outcome = Outcome::Malformed;
        break;
    case modZeva::AnswerKind::DeviceError:
        exchange.outcome = Outcome::DeviceError;
        exchange.errorCode = answer.errorCode;
        break;
    case modZeva::AnswerKind::Read:
    case modZeva::AnswerKind::Status:
        exchange.value = answer.valueText;
        break;
    case modZeva::AnswerKind::Other:
        break;
    }
    return exchange;
}

} // namespace client
