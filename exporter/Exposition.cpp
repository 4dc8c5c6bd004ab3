#include "Exposition.h"

#include <charconv>
#include <cmath>

namespace exporter {

namespace {

void Escaped(std::string& out, std::string_view text, bool quotes)
{
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quotes)
            out += "\\\"";
        else
            out += c;
    }
}

} // namespace

void Exposition::Gauge(std::string_view name, std::string_view help)
{
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    Escaped(text_, help, false);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += " gauge\n";
}

void Exposition::Sample(std::string_view name, const Labels& labels, double value)
{
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text_ += i ? ",": "";
            text_ += labels[i].first;
            text_ += "=\"";
            Escaped(text_, labels[i].second, true);
            text_ += '"';
        }
        text_ += '}';
    }
    text_ += ' ';
    text_ += Number(value);
    text_ += '\n';
}

std::string Exposition::Number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general);
    return ec == std::errc{} ? std::string(buffer, end) : std::string("NaN");
}

} // namespace exporter
