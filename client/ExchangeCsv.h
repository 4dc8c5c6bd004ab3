#pragma once

// One row per exchange, for spreadsheets: the record that the command-line
// client's --csv and the window's --log both write, column for column.
//
//   time,seq,rtt_us,outcome,state,value,device,variable
//
// The first six fields come from a fixed alphabet (digits, hex digits, the
// outcome names, the time's own characters) and are never quoted. The
// device and the variable are the user's own text (a host name, a named
// variable) and may hold a comma or a quote: such a field is quoted as
// RFC 4180 has it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace client {

enum class Outcome {
    Answer,      // an answer without error: value holds what it carried
    DeviceError, // the device refused: value holds its error code in decimal
    Malformed,   // an answer the client could not read
    Timeout,     // no answer in time
    Late,        // an answer to an earlier request
    Closed,      // lost to a connection closed by the device or not made again
};

std::string_view OutcomeName(Outcome outcome);

struct ExchangeRow {
    std::chrono::system_clock::time_point when; // wall-clock time the exchange ended
    std::uint16_t seq = 0;                      // bytes 14..15 of the request
    std::optional<std::int64_t> rttMicros;      // absent when not timed
    Outcome outcome = Outcome::Answer;
    std::string state; // the state word as shown, 4 hex digits; empty when unknown
    std::string value; // the value or status text as shown, or the error code
    std::string device;   // HOST:PORT, as DeviceText() gives it
    std::string variable; // the variable as the user named it, without a type
};

// The header line, without the line end.
std::string_view CsvHeader();

// A device as HOST:PORT, a host that holds ':' (IPv6) in brackets:
// 127.0.0.1:2004, [::1]:2004.
std::string DeviceText(std::string_view host, std::uint16_t port);

// Appends one row and its line end ("\n").
void AppendCsvRow(std::string& out, const ExchangeRow& row);

// ISO 8601 in UTC with microseconds: 2026-12-08T02:28:27.123456Z
std::string IsoTime(std::chrono::system_clock::time_point when);

} // namespace client
