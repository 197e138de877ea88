#pragma once
// What the command-line tool's files share besides the Tool class.
#include "ui/lang/Messages.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

class QCommandLineParser;

namespace cli {

// The usage, then what each exit code means (--help, and after a usage error).
void printUsage(FILE* to);
// "--demo N" and "--demo=N" ask for N simulated modules; the count is taken
// out of the arguments so that it is not read as a command or a file.
QStringList takeDemoCount(QStringList args, int* count);
// The options every command takes; the same for Run and NeedsWidgets.
void addOptions(QCommandLineParser& p);
// The tool's own words are English whatever --lang says.
QString english(lang::Msg m);
// Text the module holds, safe for a terminal: no control character (an
// escape sequence) reaches it as such, and a backslash is doubled so that
// the escapes stay unambiguous.
QString escaped(const QString& text);
// A key or value quoted in a message, cut to a length that fits a line.
QByteArray quoted(const QString& text);
// "@12", "@site:NAME", "@module:SERIAL": a snapshot in the site database
// where a settings file could be given.
inline bool isReference(const QString& arg) { return arg.startsWith(QLatin1Char('@')); }
// Module text (Windows-1250) in a message.
QByteArray quoted(const QByteArray& cp1250);

}   // namespace cli
