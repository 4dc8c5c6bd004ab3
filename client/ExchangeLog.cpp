#include "ExchangeLog.h"

#include <cerrno>
#include <cstring>

namespace client {

ExchangeLog::~ExchangeLog()
{
    Flush();
}

bool ExchangeLog::Open(const std::string& path, std::string* error)
{
    auto fail = [&](const char* reason) {
        if (error)
            *error = reason;
        file_.close();
        return false;
    };
    if (path.empty())
        return fail("no file name");
    failed_ = false;
    pending_.clear();
    errno = 0;
    // ate: placed at the end at once, so that tellp() tells whether the
    // file is empty; app: every write goes to the end.
    file_.open(path, std::ios::out | std::ios::app | std::ios::ate | std::ios::binary);
    if (!file_.is_open())
        return fail(errno ? std::strerror(errno) : "cannot open");
    if (file_.tellp() == std::streampos(0)) {
        file_ << CsvHeader() << '\n';
        file_.flush();
        if (!file_)
            return fail(errno ? std::strerror(errno) : "cannot write");
    }
    return true;
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
    AppendCsvRow(pending_, row_);
    if (pending_.size() >= kMaxPending)
        Flush();
}

bool ExchangeLog::Flush()
{
    if (!IsOpen())
        return !failed_;
    if (!pending_.empty()) {
        file_.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
        pending_.clear();
    }
    file_.flush();
    if (!file_) {
        failed_ = true;
        file_.close();
        return false;
    }
    return true;
}

} // namespace client
