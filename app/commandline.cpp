#include "app/commandline.h"

#include "flashing/shiftreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const char Description[] = "Flashes many boards at once through the flashing tool (./uuu), one job per board.\n"
                           "\n"
                           "Exit codes of a --headless run:\n"
                           "  0  every board finished\n"
                           "  1  at least one board failed, was stopped or was lost\n"
                           "  2  a station error: the tool missing or failing, the image unreadable or\n"
                           "     not matching its checksum, the station folder locked, a bad option\n"
                           "  3  fewer than N (--expect) boards listed; nothing was flashed\n"
                           "  4  time-out (--timeout); every tool was stopped first\n"
                           "--report exits with 0, or 2 when the journal cannot be read.";

const char DefaultJournal[] = "logs/journal.jsonl";

// The toolkit's own options, taken by the application object from the same
// command line: accepted here, not listed. "" for the ones without a value.
const struct
{
    const char *name;
    const char *value;
} ToolkitOptions[] = {{"platform", "name"},
                      {"platformpluginpath", "path"},
                      {"platformtheme", "name"},
                      {"plugin", "name"},
                      {"qwindowgeometry", "geometry"},
                      {"qwindowicon", "icon"},
                      {"qwindowtitle", "title"},
                      {"session", "id"},
                      {"display", "display"},
                      {"geometry", "geometry"},
                      {"style", "style"},
                      {"stylesheet", "file"},
                      {"reverse", ""},
                      {"widgetcount", ""},
                      {"nograb", ""},
                      {"dograb", ""},
                      {"sync", ""}};

// Options only a report takes, and options a report does not take.
const char *const ReportOptions[] = {"since", "csv"};
const char *const FlashingOptions[] = {"expect-sha256", "headless", "image",      "mode",   "expect",
                                       "timeout",       "json",     "auto-start", "metrics"};

const char *const Modes[] = {"Image", "Kernel", "FileSystem"};

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"report", "--report [JOURNAL]: print the shift report of JOURNAL (default: " + QLatin1String(DefaultJournal) +
                       ") and exit."},
        {"since",
         "With --report: only attempts started at or after DATE (2026-12-09, 2026-12-09T06:00, "
         "local time unless it ends in Z or an offset).",
         "DATE"},
        {"csv", "With --report: one row per attempt, as CSV."},
        {"expect-sha256", "Refuse to flash unless the image's SHA-256 is HEX.", "HEX"},
        {"headless", "Flash without a window; the exit code tells how it went."},
        {"image", "The image to flash.", "PATH"},
        {"mode", "The mode of every board: Image, Kernel or FileSystem.", "MODE"},
        {"expect", "Flash only if at least N boards are listed.", "N"},
        {"timeout", "Stop every tool after SECONDS.", "SECONDS"},
        {"json", "Print the results as JSON."},
        {"auto-start", "Start every listed board."},
        {"metrics", "Keep the station's metrics in FILE.", "FILE"},
    });
    parser.addPositionalArgument(QStringLiteral("journal"), QStringLiteral("With --report: the journal to read."),
                                 QStringLiteral("[JOURNAL]"));
    for (const auto &toolkit : ToolkitOptions) {
        QCommandLineOption option(QLatin1String(toolkit.name), QString(), QLatin1String(toolkit.value));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// A date or date and time; local time unless it names its zone.
QDateTime parseDate(const QString &text)
{
    QString iso = text.trimmed();
    iso.replace(QLatin1Char(' '), QLatin1Char('T'));
    if (iso.size() == 10)
        return QDateTime(QDate::fromString(iso, Qt::ISODate), QTime(0, 0), Qt::LocalTime);
    return QDateTime::fromString(iso, Qt::ISODateWithMs);
}

// Reads the option values into options; the first bad one's message, or "".
QString readValues(const QCommandLineParser &parser, Options &options)
{
    options.report = parser.isSet(QStringLiteral("report"));
    options.journal = parser.positionalArguments().value(0);
    options.csv = parser.isSet(QStringLiteral("csv"));
    options.headless = parser.isSet(QStringLiteral("headless"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.autoStart = parser.isSet(QStringLiteral("auto-start"));
    options.image = parser.value(QStringLiteral("image"));
    options.metricsFile = parser.value(QStringLiteral("metrics"));
    if (parser.isSet(QStringLiteral("since"))) {
        options.since = parseDate(parser.value(QStringLiteral("since")));
        if (!options.since.isValid())
            return QStringLiteral("--since: '%1' is not a date (2026-12-09 or 2026-12-09T06:00)")
                .arg(parser.value(QStringLiteral("since")));
    }
    const QString hex = parser.value(QStringLiteral("expect-sha256"));
    if (parser.isSet(QStringLiteral("expect-sha256")) &&
        !QRegularExpression(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z")).match(hex).hasMatch())
        return QStringLiteral("--expect-sha256: '%1' is not a SHA-256 (64 hexadecimal digits)").arg(hex);
    options.expectSha256 = hex.toLower();
    if (parser.isSet(QStringLiteral("mode"))) {
        for (const char *mode : Modes) {
            if (parser.value(QStringLiteral("mode")).compare(QLatin1String(mode), Qt::CaseInsensitive) == 0)
                options.mode = QLatin1String(mode);
        }
        if (options.mode.isEmpty())
            return QStringLiteral("--mode: '%1' is not Image, Kernel or FileSystem").arg(parser.value("mode"));
    }
    bool ok = true;
    if (parser.isSet(QStringLiteral("expect"))) {
        options.expectBoards = parser.value(QStringLiteral("expect")).toInt(&ok);
        if (!ok || options.expectBoards < 1)
            return QStringLiteral("--expect: '%1' is not a number of boards").arg(parser.value("expect"));
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        options.timeoutSeconds = parser.value(QStringLiteral("timeout")).toDouble(&ok);
        if (!ok || !std::isfinite(options.timeoutSeconds) || options.timeoutSeconds <= 0)
            return QStringLiteral("--timeout: '%1' is not a number of seconds").arg(parser.value("timeout"));
    }
    return QString();
}

// Options that are set but mean nothing together; the message, or "".
QString conflicts(const QCommandLineParser &parser)
{
    const bool report = parser.isSet(QStringLiteral("report"));
    if (!report && !parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
    if (parser.positionalArguments().size() > 1)
        return QStringLiteral("--report reads one journal, not %1").arg(parser.positionalArguments().size());
    for (const char *name : ReportOptions) {
        if (!report && parser.isSet(QLatin1String(name)))
            return QStringLiteral("--%1 needs --report").arg(QLatin1String(name));
    }
    for (const char *name : FlashingOptions) {
        if (report && parser.isSet(QLatin1String(name)))
            return QStringLiteral("--report does not flash: --%1 does not go with it").arg(QLatin1String(name));
    }
    return QString();
}

CommandLine badCommandLine(const QString &message)
{
    CommandLine commandLine;
    commandLine.action = CommandLineAction::Exit;
    commandLine.exitCode = ExitStationError;
    commandLine.error = QStringLiteral("velmora: %1\nTry 'velmora --help'.\n").arg(message);
    return commandLine;
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

#ifdef Q_OS_WIN
// Velmora is a GUI program there: started from a console, it has none of its
// own. What it prints goes to the one it was started from, unless redirected.
void useParentConsole()
{
    const bool outRedirected = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN;
    const bool errRedirected = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_UNKNOWN;
    if ((outRedirected && errRedirected) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!outRedirected)
        freopen("CONOUT$", "w", stdout);
    if (!errRedirected)
        freopen("CONOUT$", "w", stderr);
}
#endif

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return badCommandLine(parser.errorText());
    CommandLine commandLine;
    const bool help = parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
    if (help || parser.isSet(QStringLiteral("version"))) {
        commandLine.action = CommandLineAction::Exit;
        // The help names the program by the application object's arguments:
        // without one yet, the caller only learns that it is to exit.
        if (!help)
            commandLine.output = QStringLiteral("velmora %1\n").arg(QLatin1String(VELMORA_VERSION));
        else if (QCoreApplication::instance())
            commandLine.output = parser.helpText();
        return commandLine;
    }
    QString error = conflicts(parser);
    if (error.isEmpty())
        error = readValues(parser, commandLine.options);
    if (!error.isEmpty())
        return badCommandLine(error);
    if (commandLine.options.report)
        commandLine.action = CommandLineAction::Report;
    return commandLine;
}

CommandLine parseCommandLine(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parseCommandLine(arguments);
}

int runWithoutWindow(int argc, char *argv[])
{
    // No display needed; the application object's own arguments are the
    // ones to trust (they come as wide characters on Windows).
#ifdef Q_OS_WIN
    useParentConsole();
#endif
    QCoreApplication application(argc, argv);
    const CommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (parsed.action == CommandLineAction::Report)
        return runShiftReport(parsed.options);
    print(stdout, parsed.output);
    print(stderr, parsed.error);
    return parsed.exitCode;
}

int runShiftReport(const Options &options)
{
    const QString path = options.journal.isEmpty() ? QString::fromLatin1(DefaultJournal) : options.journal;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        print(stderr, QStringLiteral("velmora: %1: %2\n").arg(path, file.errorString()));
        return ExitStationError;
    }
    const Journal journal = parseJournal(file.readAll());
    if (!journal.error.isEmpty()) {
        print(stderr, QStringLiteral("velmora: %1: %2\n").arg(path, journal.error));
        return ExitStationError;
    }
    for (const QString &warning : journal.warnings)
        print(stderr, QStringLiteral("velmora: warning: %1: %2\n").arg(path, warning));
    const Journal recent = journalSince(journal, options.since);
    print(stdout, options.csv ? renderAttemptsCsv(recent) : renderShiftReport(computeShiftReport(recent), path));
    return 0;
}
