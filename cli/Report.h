#pragma once

#include "Options.h"

#include <CsvFile.h>
#include <Engine.h>

#include <QString>

#include <cstdio>
#include <memory>
#include <string>

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

    void Exchange(const client::ExchangeReport& report, std::int64_t nowMicros);
    void Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros);
    void Summary(const client::RunStatistics& stats);
    // Writes the CSV rows held. A failure is reported on the error stream
    // once, and no more rows are written; the file keeps its whole rows.
    void Flush();

private:
    void TextLine(const client::ExchangeReport& report);
    void JsonLine(const client::ExchangeReport& report);
    void CsvRow(const client::ExchangeReport& report, std::int64_t nowMicros);
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
