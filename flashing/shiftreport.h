#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

// One attempt line of a journal (logs/journal.jsonl).
struct JournalAttempt
{
    QString session;
    qint64 seq = 0;
    QString host;
    QString folder;
    QString port;
    QString mode;
    QString imagePath;
    qint64 imageSize = -1;
    QString imageSha256;
    QDateTime started;
    QDateTime ended;
    double seconds = 0;
    QString outcome;
    QString reason;
    int progress = -1;
    QString logPath;
};

// One run of Velmora, from its start and end lines.
struct JournalSession
{
    QString id;
    QString host;
    QString folder;
    QDateTime started;
    // Invalid when the journal has no end line for it (Velmora was killed, or
    // still runs).
    QDateTime ended;
};

struct Journal
{
    QVector<JournalAttempt> attempts;
    QVector<JournalSession> sessions;
    // Lines skipped (a torn last line, a record without its fields), one
    // sentence each.
    QStringList warnings;
    // Why the text is not a journal at all; empty when it is one.
    QString error;
};

// Reads a journal's text: one JSON object per line, LF or CRLF line ends.
// A last line that does not parse is skipped with a warning (Velmora was
// killed while writing it); text whose first record is not a journal line is
// an error. Empty text is an empty journal.
Journal parseJournal(const QByteArray &text);

// The attempts that started at or after since (all when since is invalid),
// and the sessions that have one of them or started at or after since.
Journal journalSince(const Journal &journal, const QDateTime &since);

struct OutcomeCounts
{
    int finished = 0;
    int failed = 0;
    int stopped = 0;
    int lost = 0;
    int notStarted = 0;
    int other = 0; // an outcome this reader does not know

    int total() const { return finished + failed + stopped + lost + notStarted + other; }
    // Attempts that put a board through the tool to an end of its own:
    // finished, failed or lost (stopped and not started say nothing of it).
    int flashed() const { return finished + failed + lost; }
    void add(const QString &outcome);
};

struct SessionSummary
{
    JournalSession session;
    OutcomeCounts outcomes;
};

struct PortSummary
{
    QString port;
    OutcomeCounts outcomes;
    // Failed or lost.
    int failures = 0;
    // Over finished attempts; 0 when there is none.
    double meanSeconds = 0;
    double longestSeconds = 0;
    // The longest run of failures with no finished attempt between them.
    int longestFailureRun = 0;
    QDateTime lastFailure;
    QString lastFailureReason;
    bool suspect = false;
};

struct ShiftReport
{
    QVector<SessionSummary> sessions;
    OutcomeCounts all;
    // Finished of flashed, in per cent; -1 when nothing was flashed.
    double passRate = -1;
    // Over all finished attempts.
    int timedBoards = 0;
    double meanSeconds = 0;
    JournalAttempt longest;
    // In port order ("1:2" before "1:11").
    QVector<PortSummary> ports;
    QDateTime first;
    QDateTime last;
};

// Failures in a row that make a port suspect, while another port passes.
constexpr int SuspectFailureRun = 3;

ShiftReport computeShiftReport(const Journal &journal);

// The report as text for a terminal; source names the journal.
QString renderShiftReport(const ShiftReport &report, const QString &source);

// One row per attempt, with a header row, for a spreadsheet.
QString renderAttemptsCsv(const Journal &journal);

// Orders ports by their numbers: "1:2" < "1:11" < "2:1".
bool portLessThan(const QString &a, const QString &b);
