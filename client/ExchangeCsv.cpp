#include "ExchangeCsv.h"

#include <cstdio>
#include <ctime>

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
    return "time,seq,rtt_us,outcome,state,value";
}

std::string IsoTime(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
    // Floor division, so that times before 1970 keep a fraction in 0..999999.
    std::int64_t seconds = micros / 1000000;
    std::int64_t fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[80]; // room for any year an int holds
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(fraction));
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
    out += '\n';
}

} // namespace client
