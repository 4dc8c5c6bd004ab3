#pragma once

#include "Options.h"

#include <CsvFile.h>
#include <Engine.h>

#include <QString>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace cli {

// Everything the program prints: a line (or JSON object) per exchange on
// standard output, the trace on standard error, the CSV rows and the
// summary.
class Report {
public:
    Report(const Options& options, std::FILE* out, std::FILE* err);

    // Opens the CSV file and writes its header; false with a message when it
    // cannot be written.
    bool OpenCsv(QString* error);

    // The clock's reading that trace times count from.
    void SetStart(std::int64_t micros) { start_ = micros; }

    // What a device's engine reported; `device` indexes Options::devices.
    void Exchange(std::size_t device, const client::ExchangeReport& report, std::int64_t nowMicros);
    void Frame(std::size_t device, std::size_t variable, bool sent, std::span<const std::uint8_t> frame,
               std::int64_t micros);
    // One engine a device, in the order of Options::devices. One device
    // and one variable: today's summary. Otherwise a table of every device
    // and variable and their total, or a JSON object for each and one for
    // the total.
    // `to`: the summary so far, on request, to this stream instead (and
    // the counts of answers not shown stay for the end).
    void Summary(const std::vector<const client::Engine*>& engines, std::FILE* to = nullptr);
    // For each device with answers not shown in its last second, the line
    // that says how many; before the summary.
    void FlushNotShown();
    // Writes the CSV rows held. A failure is reported on the error stream
    // once, and no more rows are written; the file keeps its whole rows.
    void Flush();

    // Late and unsolicited answers shown a second per device, lines and CSV
    // rows alike; those past it are counted in one line a second.
    static constexpr int kUnsolicitedPerSecond = 100;

private:
    // Per device: the second counted from `since`, the answers of it shown
    // and not shown.
    struct Unsolicited {
        std::int64_t since = 0;
        int shown = 0;
        std::uint64_t notShown = 0;
    };
    // Whether an answer not taken, at `nowMicros`, is still shown.
    bool Shows(std::size_t device, std::int64_t nowMicros);
    void NotShownLine(std::size_t device);
    using WallTime = std::chrono::system_clock::time_point;
    void TextLine(std::size_t device, const client::ExchangeReport& report, WallTime when);
    void JsonLine(std::size_t device, const client::ExchangeReport& report, WallTime when);
    void CsvRow(std::size_t device, const client::ExchangeReport& report, std::int64_t nowMicros, WallTime when);
    void SingleSummary(const client::RunStatistics& stats, std::FILE* to);
    void Table(const std::vector<const client::Engine*>& engines, const client::RunStatistics& total, std::FILE* to);
    // A read value as --format shows it; status data stays hexadecimal.
    std::string Shown(const modZeva::Answer& answer) const;

    const Options& options_;
    std::FILE* out_;
    std::FILE* err_;
    std::int64_t start_ = 0;
    client::CsvFile csv_;
    std::string csvRows_;
    std::int64_t csvFlushed_ = 0;
    std::string line_;
    std::vector<Unsolicited> unsolicited_;
};

} // namespace cli
