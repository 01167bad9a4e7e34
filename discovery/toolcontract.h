#pragma once

#include <QString>
#include <QStringList>

// How Velmora calls the external flashing tool. The tool lies in the current
// directory and is always named relative to it.
namespace ToolContract {

// ".\uuu.exe" on Windows, "./uuu" elsewhere.
QString program();

// Argument list of a listing run.
QStringList listingArguments();

// Longest wait for a listing run, in milliseconds.
constexpr int listingTimeoutMs = 30000;

// The flashing command line for one device, with the port path and the
// generated script substituted as plain text: ".\uuu.exe -d -m PORT SCRIPT".
// It is for showing only; the tool is started with flashArguments().
QString flashCommandLine(const QString &devicePort, const QString &scriptFile);

// The arguments of that command line, each one whole: a port path with
// blanks or double quotes stays one argument.
QStringList flashArguments(const QString &devicePort, const QString &scriptFile);

} // namespace ToolContract
