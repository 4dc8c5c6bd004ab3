#include "ExchangeLog.h"

namespace client {

ExchangeLog::~ExchangeLog()
{
    Flush();
}

bool ExchangeLog::Open(const std::filesystem::path& path, std::string* error)
{
    failed_ = false;
    pending_.clear();
    return file_.Open(path, CsvFile::Mode::Append, error);
}

void ExchangeLog::Exchanged(const Exchange& exchange)
{
    if (!IsOpen())
        return;
    row_.when = std::chrono::system_clock::now();
    row_.seq = 0;
    row_.rttMicros.reset();
    if (exchange.elapsedMs)
        row_.rttMicros = static_cast<std::int64_t>(*exchange.elapsedMs) * 1000;
    row_.outcome = exchange.outcome;
    row_.state.assign(exchange.state);
    if (exchange.outcome == Outcome::DeviceError)
        row_.value = std::to_string(exchange.errorCode);
    else
        row_.value.assign(exchange.value);
    row_.device.assign(exchange.device);
    row_.variable.assign(exchange.variable);
    AppendCsvRow(pending_, row_);
    if (pending_.size() >= kMaxPending)
        Flush();
}

bool ExchangeLog::Flush()
{
    if (!IsOpen())
        return !failed_;
    std::string reason;
    const bool written = file_.Write(pending_, &reason);
    pending_.clear();
    if (written)
        return true;
    failed_ = true;
    if (onFailure_)
        onFailure_(reason);
    return false;
}

} // namespace client
