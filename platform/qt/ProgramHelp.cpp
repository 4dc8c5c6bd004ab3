#include "ProgramHelp.h"

#include <QCommandLineParser>

namespace platform {

QString HelpText(const QCommandLineParser& parser, const QString& program)
{
    QString text = parser.helpText();
    const QLatin1String usage("Usage: ");
    const qsizetype nameEnd = text.indexOf(QLatin1String(" [options]"));
    if (text.startsWith(usage) && nameEnd >= usage.size())
        text.replace(usage.size(), nameEnd - usage.size(), program);
    return text;
}

} // namespace platform
