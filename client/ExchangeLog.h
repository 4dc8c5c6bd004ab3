#pragma once

#include "CsvFile.h"
#include "ExchangeObserver.h"

#include <filesystem>
#include <functional>
#include <string>

namespace client {

// The window's log: one CSV row per handled answer, appended to a file.
// Rows are held in memory and written by Flush(), which the owner calls
// on a timer, and on destruction; past kMaxPending bytes the row that
// arrives writes them itself. The window sends sequence number 0 and
// times in whole milliseconds, so seq is always 0 and rtt_us a multiple
// of 1000.
class ExchangeLog final : public IExchangeObserver {
public:
    ExchangeLog() = default;
    ExchangeLog(const ExchangeLog&) = delete;
    ExchangeLog& operator=(const ExchangeLog&) = delete;
    ~ExchangeLog() override;

    // Opens the file for appending, creating it if needed, and writes the
    // header line into an empty file. On failure: false and the reason in
    // *error; the log then stays closed and takes no rows.
    bool Open(const std::filesystem::path& path, std::string* error = nullptr);
    bool IsOpen() const { return file_.IsOpen() && !failed_; }

    // Called once, with the reason, when a write fails, whichever call made
    // it; the log is closed then, ending in its last whole row.
    void SetFailureHandler(std::function<void(const std::string& reason)> handler)
    {
        onFailure_ = std::move(handler);
    }

    void Exchanged(const Exchange& exchange) override;

    // Writes the rows held. False once a write has failed; the log is then
    // closed for good.
    bool Flush();

private:
    // Rows held before a write is forced, whatever the timer does.
    static constexpr std::size_t kMaxPending = 64 * 1024;

    CsvFile file_;
    std::string pending_;
    ExchangeRow row_; // kept so that its strings keep their capacity
    bool failed_ = false;
    std::function<void(const std::string&)> onFailure_;
};

} // namespace client
