#include "Log.h"

#include <QDateTime>

namespace exporter {

std::optional<LogLevel> LogLevelFromName(std::string_view name)
{
    if (name == "debug")
        return LogLevel::Debug;
    if (name == "info")
        return LogLevel::Info;
    if (name == "warn")
        return LogLevel::Warn;
    if (name == "error")
        return LogLevel::Error;
    return std::nullopt;
}

std::string Log::Pair(std::string_view key, std::string_view value)
{
    const bool plain = !value.empty() && value.find_first_of(" \"\\=\n") == std::string_view::npos;
    std::string out = " " + std::string(key) + "=";
    if (plain)
        return out + std::string(value);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c == '\n' ? ' ' : c;
    }
    return out + '"';
}

void Log::Write(LogLevel level, std::string_view message, std::string_view pairs) const
{
    if (!Enabled(level))
        return;
    static constexpr const char* kNames[] = {"debug", "info", "warn", "error"};
    const std::string time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    const std::string line = "ts=" + time + Pair("level", kNames[int(level)]) + Pair("msg", message)
        + std::string(pairs) + "\n";
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

} // namespace exporter
