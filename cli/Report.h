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
    void Summary(const std::vector<const client::Engine*>& engines);
    // Writes the CSV rows held. A failure is reported on the error stream
    // once, and no more rows are written; the file keeps its whole rows.
    void Flush();

private:
    void TextLine(std::size_t device, const client::ExchangeReport& report);
    void JsonLine(std::size_t device, const client::ExchangeReport& report);
    void CsvRow(std::size_t device, const client::ExchangeReport& report, std::int64_t nowMicros);
    void SingleSummary(const client::RunStatistics& stats);
    void Table(const std::vector<const client::Engine*>& engines, const client::RunStatistics& total);
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
};

} // namespace cli
