#pragma once

#include <QString>

class QCommandLineParser;

namespace platform {

// parser's help text with the program called by its name: Qt names it by
// the path it was started with, which differs with every installation.
QString HelpText(const QCommandLineParser& parser, const QString& program);

} // namespace platform
