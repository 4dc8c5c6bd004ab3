#include "ExchangeCsv.h"

#include <chrono>
#include <cstdio>

namespace client {

std::string_view OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Answer: return "answer";
    case Outcome::DeviceError: return "device_error";
    case Outcome::Malformed: return "malformed";
    case Outcome::Timeout: return "timeout";
    case Outcome::Late: return "late";
    case Outcome::Closed: return "closed";
    }
    return "answer";
}

std::string_view CsvHeader()
{
    return "time,seq,rtt_us,outcome,state,value,device,variable";
}

std::string DeviceText(std::string_view host, std::uint16_t port)
{
    std::string text;
    const bool bracket = host.find(':') != std::string_view::npos;
    if (bracket)
        text += '[';
    text += host;
    if (bracket)
        text += ']';
    text += ':';
    text += std::to_string(port);
    return text;
}

namespace {

// A field of user text: as it is, or in double quotes with its own quotes
// doubled when it holds a separator, a quote or a line end.
void AppendTextField(std::string& out, std::string_view field)
{
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

} // namespace

std::string IsoTime(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    // floor, not a cast: times before 1970 keep a fraction in 0..999999.
    const auto micros = floor<microseconds>(when);
    const auto day = floor<days>(micros);
    const year_month_day date{day};
    const hh_mm_ss<microseconds> time{micros - day};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<long long>(time.subseconds().count()));
    return text;
}

void AppendCsvRow(std::string& out, const ExchangeRow& row)
{
    out += IsoTime(row.when);
    out += ',';
    out += std::to_string(row.seq);
    out += ',';
    if (row.rttMicros)
        out += std::to_string(*row.rttMicros);
    out += ',';
    out += OutcomeName(row.outcome);
    out += ',';
    out += row.state;
    out += ',';
    out += row.value;
    out += ',';
    AppendTextField(out, row.device);
    out += ',';
    AppendTextField(out, row.variable);
    out += '\n';
}

} // namespace client
