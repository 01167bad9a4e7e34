#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// Everything Velmora's command line can ask for. Velmora started without
// options leaves every field at its default: the window, as always.
struct Options
{
    // --report [JOURNAL]: print the shift report of a journal and exit.
    bool report = false;
    // The journal to report on; "" for the station folder's.
    QString journal;
    // --since DATE: only attempts started at or after it (invalid: all).
    QDateTime since;
    // --csv: one row per attempt instead of the report's text.
    bool csv = false;

    // --expect-sha256 HEX: the image's SHA-256, in lower case, or "".
    QString expectSha256;
    // --headless: flash without a window.
    bool headless = false;
    // --image PATH, --mode MODE ("Image", "Kernel" or "FileSystem").
    QString image;
    QString mode;
    // --expect N: boards that must be listed; 0 when not given.
    int expectBoards = 0;
    // --timeout SECONDS; 0 when not given.
    double timeoutSeconds = 0;
    // --json: results as JSON.
    bool json = false;
    // --auto-start: start every listed board.
    bool autoStart = false;
    // --metrics FILE.
    QString metricsFile;
};

enum class CommandLineAction {
    OpenWindow, // no option asks for anything else: today's window
    Report,     // --report
    Exit,       // --help, --version or a bad command line: print and exit
};

struct CommandLine
{
    CommandLineAction action = CommandLineAction::OpenWindow;
    Options options;
    // For Exit: what goes to standard output and standard error, and the
    // exit code (0 for --help and --version, 2 for a bad command line).
    QString output;
    QString error;
    int exitCode = 0;
};

// Exit codes of a headless run, as --help lists them.
enum HeadlessExitCode {
    ExitAllFinished = 0,
    ExitBoardFailed = 1,
    ExitStationError = 2,
    ExitTooFewBoards = 3,
    ExitTimedOut = 4,
};

// Reads a command line (the program's name first). The toolkit's own window
// options (-platform, -style, ...) are accepted and left for the application
// object.
CommandLine parseCommandLine(const QStringList &arguments);
CommandLine parseCommandLine(int argc, char *argv[]);

// Runs what a command line other than OpenWindow asks for (a report, the help,
// an error), without a window or a display, and returns the exit code.
int runWithoutWindow(int argc, char *argv[]);

// Prints the shift report (or its CSV) of options.journal to standard output,
// warnings and errors to standard error. 0, or 2 when the journal cannot be
// read or is not one.
int runShiftReport(const Options &options);
