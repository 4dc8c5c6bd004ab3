#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace exporter {

enum class LogLevel { Debug, Info, Warn, Error };

// "debug", "info", "warn", "error"; absent for any other name.
std::optional<LogLevel> LogLevelFromName(std::string_view name);

// Lines of key=value pairs on standard error, as Prometheus and its
// exporters write them: ts=... level=info msg="..." and the caller's pairs.
class Log {
public:
    explicit Log(LogLevel level = LogLevel::Info, std::FILE* out = stderr) : level_(level), out_(out) {}

    bool Enabled(LogLevel level) const { return level >= level_; }
    // `pairs` is " key=value ..." as Pair() makes them.
    void Write(LogLevel level, std::string_view message, std::string_view pairs = {}) const;

    // A value quoted when it needs it, with quotes and backslashes escaped.
    static std::string Pair(std::string_view key, std::string_view value);

private:
    LogLevel level_;
    std::FILE* out_;
};

} // namespace exporter
