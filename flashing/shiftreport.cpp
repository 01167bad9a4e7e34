#include "flashing/shiftreport.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringView>

#include <algorithm>

namespace {

QDateTime parseTime(const QJsonValue &value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

bool isJournalLine(const QJsonObject &object)
{
    return object.value(QLatin1String("event")).isString() && object.value(QLatin1String("schema")).isDouble();
}

JournalAttempt attemptFrom(const QJsonObject &object)
{
    JournalAttempt attempt;
    const QJsonObject station = object.value(QLatin1String("station")).toObject();
    const QJsonObject image = object.value(QLatin1String("image")).toObject();
    attempt.session = object.value(QLatin1String("session")).toString();
    attempt.seq = object.value(QLatin1String("seq")).toVariant().toLongLong();
    attempt.host = station.value(QLatin1String("host")).toString();
    attempt.folder = station.value(QLatin1String("folder")).toString();
    attempt.port = object.value(QLatin1String("port")).toString();
    attempt.mode = object.value(QLatin1String("mode")).toString();
    attempt.imagePath = image.value(QLatin1String("path")).toString();
    const QJsonValue size = image.value(QLatin1String("size"));
    attempt.imageSize = size.isDouble() ? size.toVariant().toLongLong() : -1;
    attempt.imageSha256 = image.value(QLatin1String("sha256")).toString();
    attempt.started = parseTime(object.value(QLatin1String("started")));
    attempt.ended = parseTime(object.value(QLatin1String("ended")));
    attempt.seconds = object.value(QLatin1String("seconds")).toDouble();
    attempt.outcome = object.value(QLatin1String("outcome")).toString();
    attempt.reason = object.value(QLatin1String("reason")).toString();
    attempt.progress = object.value(QLatin1String("progress")).toInt(-1);
    attempt.logPath = object.value(QLatin1String("log")).toObject().value(QLatin1String("path")).toString();
    return attempt;
}

JournalSession &sessionOf(Journal &journal, QHash<QString, int> &index, const QJsonObject &object)
{
    const QString id = object.value(QLatin1String("session")).toString();
    auto found = index.constFind(id);
    if (found != index.constEnd())
        return journal.sessions[*found];
    const QJsonObject station = object.value(QLatin1String("station")).toObject();
    JournalSession session;
    session.id = id;
    session.host = station.value(QLatin1String("host")).toString();
    session.folder = station.value(QLatin1String("folder")).toString();
    index.insert(id, journal.sessions.size());
    journal.sessions << session;
    return journal.sessions.last();
}

// Adds one journal line; an attempt line that lacks what the report needs is
// skipped with a warning.
void addLine(Journal &journal, QHash<QString, int> &sessions, const QJsonObject &object, int lineNumber)
{
    const QString event = object.value(QLatin1String("event")).toString();
    if (event == QLatin1String("attempt")) {
        JournalAttempt attempt = attemptFrom(object);
        if (attempt.port.isEmpty() || attempt.outcome.isEmpty() || !attempt.started.isValid()) {
            journal.warnings << QStringLiteral("line %1: an attempt without its port, outcome or start time, skipped")
                                    .arg(lineNumber);
            return;
        }
        JournalSession &session = sessionOf(journal, sessions, object);
        if (!session.started.isValid())
            session.started = attempt.started;
        journal.attempts << attempt;
    } else if (event == QLatin1String("start")) {
        sessionOf(journal, sessions, object).started = parseTime(object.value(QLatin1String("time")));
    } else if (event == QLatin1String("end")) {
        sessionOf(journal, sessions, object).ended = parseTime(object.value(QLatin1String("time")));
    }
    // Events this reader does not know are left for the ones that do.
}

} // namespace

Journal parseJournal(const QByteArray &text)
{
    Journal journal;
    QHash<QString, int> sessions;
    const QList<QByteArray> lines = text.split('\n');
    int last = lines.size() - 1;
    while (last >= 0 && lines.at(last).trimmed().isEmpty())
        --last;
    bool seenRecord = false;
    for (int i = 0; i <= last; ++i) {
        const QByteArray line = lines.at(i).trimmed(); // a CRLF line keeps its CR
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        const bool record = document.isObject() && isJournalLine(document.object());
        if (record) {
            seenRecord = true;
            addLine(journal, sessions, document.object(), i + 1);
        } else if (i == last && line.startsWith('{')) {
            journal.warnings
                << QStringLiteral("line %1 is incomplete (Velmora ended while writing it), skipped").arg(i + 1);
        } else if (!seenRecord) {
            journal.error = QStringLiteral("not a Velmora journal (line %1 is not a journal record)").arg(i + 1);
            return journal;
        } else {
            journal.warnings << QStringLiteral("line %1 is not a journal record, skipped").arg(i + 1);
        }
    }
    return journal;
}

Journal journalSince(const Journal &journal, const QDateTime &since)
{
    if (!since.isValid())
        return journal;
    Journal recent;
    recent.warnings = journal.warnings;
    QSet<QString> sessions;
    for (const JournalAttempt &attempt : journal.attempts) {
        if (attempt.started >= since) {
            recent.attempts << attempt;
            sessions.insert(attempt.session);
        }
    }
    for (const JournalSession &session : journal.sessions) {
        if (sessions.contains(session.id) || (session.started.isValid() && session.started >= since))
            recent.sessions << session;
    }
    return recent;
}

void OutcomeCounts::add(const QString &outcome)
{
    if (outcome == QLatin1String("finished"))
        ++finished;
    else if (outcome == QLatin1String("failed"))
        ++failed;
    else if (outcome == QLatin1String("stopped"))
        ++stopped;
    else if (outcome == QLatin1String("lost"))
        ++lost;
    else if (outcome == QLatin1String("not-started"))
        ++notStarted;
    else
        ++other;
}

namespace {

// The number that starts at text[*pos], without its leading zeros; moves
// *pos past it.
QStringView digitRun(const QString &text, int *pos)
{
    int begin = *pos;
    while (*pos < text.size() && text.at(*pos).isDigit())
        ++*pos;
    while (begin + 1 < *pos && text.at(begin) == QLatin1Char('0'))
        ++begin;
    return QStringView(text).mid(begin, *pos - begin);
}

} // namespace

bool portLessThan(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const QStringView numberA = digitRun(a, &i);
            const QStringView numberB = digitRun(b, &j);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            if (numberA != numberB)
                return numberA < numberB;
        } else {
            if (a.at(i) != b.at(j))
                return a.at(i) < b.at(j);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

namespace {

bool isFailure(const QString &outcome)
{
    return outcome == QLatin1String("failed") || outcome == QLatin1String("lost");
}

struct PortTally
{
    PortSummary summary;
    int run = 0; // failures since the last finished attempt
    double finishedSeconds = 0;
};

// A run of failures counts failed and lost attempts; only a finished one
// ends it (a stop or a refused start says nothing about the slot).
void addToPort(PortTally &tally, const JournalAttempt &attempt)
{
    PortSummary &port = tally.summary;
    port.outcomes.add(attempt.outcome);
    if (attempt.outcome == QLatin1String("finished")) {
        tally.finishedSeconds += attempt.seconds;
        port.longestSeconds = std::max(port.longestSeconds, attempt.seconds);
        port.meanSeconds = tally.finishedSeconds / port.outcomes.finished;
        tally.run = 0;
    } else if (isFailure(attempt.outcome)) {
        ++port.failures;
        port.longestFailureRun = std::max(port.longestFailureRun, ++tally.run);
        port.lastFailure = attempt.started;
        port.lastFailureReason = attempt.reason;
    }
}

void markSuspectPorts(QVector<PortSummary> &ports)
{
    for (PortSummary &port : ports) {
        if (port.longestFailureRun < SuspectFailureRun)
            continue;
        port.suspect = std::any_of(ports.cbegin(), ports.cend(), [&port](const PortSummary &other) {
            return other.port != port.port && other.outcomes.finished > 0;
        });
    }
}

} // namespace

ShiftReport computeShiftReport(const Journal &journal)
{
    ShiftReport report;
    QVector<JournalAttempt> attempts = journal.attempts;
    std::stable_sort(attempts.begin(), attempts.end(), [](const JournalAttempt &a, const JournalAttempt &b) {
        return a.started < b.started;
    });
    QHash<QString, int> sessionIndex;
    for (const JournalSession &session : journal.sessions) {
        sessionIndex.insert(session.id, report.sessions.size());
        report.sessions << SessionSummary{session, {}};
    }
    QMap<QString, PortTally> ports;
    double finishedSeconds = 0;
    for (const JournalAttempt &attempt : attempts) {
        report.all.add(attempt.outcome);
        if (sessionIndex.contains(attempt.session))
            report.sessions[sessionIndex.value(attempt.session)].outcomes.add(attempt.outcome);
        PortTally &tally = ports[attempt.port];
        tally.summary.port = attempt.port;
        addToPort(tally, attempt);
        if (attempt.outcome == QLatin1String("finished")) {
            ++report.timedBoards;
            finishedSeconds += attempt.seconds;
            if (report.timedBoards == 1 || attempt.seconds > report.longest.seconds)
                report.longest = attempt;
        }
    }
    if (!attempts.isEmpty()) {
        report.first = attempts.first().started;
        report.last = attempts.last().started;
    }
    if (report.timedBoards > 0)
        report.meanSeconds = finishedSeconds / report.timedBoards;
    if (report.all.flashed() > 0)
        report.passRate = 100.0 * report.all.finished / report.all.flashed();
    for (const PortTally &tally : ports)
        report.ports << tally.summary;
    std::sort(report.ports.begin(), report.ports.end(), [](const PortSummary &a, const PortSummary &b) {
        return portLessThan(a.port, b.port);
    });
    markSuspectPorts(report.ports);
    return report;
}

namespace {

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("-");
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 1);
}

// Lays out rows under a header: the first leftColumns columns left-aligned,
// the others (numbers) right-aligned, two spaces between columns.
QString table(const QVector<QStringList> &rows, int leftColumns)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (int i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], int(row.at(i).size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << (i < leftColumns ? row.at(i).leftJustified(widths[i]) : row.at(i).rightJustified(widths[i]));
        text += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return text;
}

QStringList outcomeCells(const OutcomeCounts &counts)
{
    QStringList cells = {QString::number(counts.total()), QString::number(counts.finished),
                         QString::number(counts.failed),  QString::number(counts.stopped),
                         QString::number(counts.lost),    QString::number(counts.notStarted)};
    return cells;
}

QString sessionTable(const ShiftReport &report)
{
    QVector<QStringList> rows = {{QStringLiteral("Session"), QStringLiteral("Host"), QStringLiteral("Folder"),
                                  QStringLiteral("Started"), QStringLiteral("Ended"), QStringLiteral("Attempts"),
                                  QStringLiteral("Finished"), QStringLiteral("Failed"), QStringLiteral("Stopped"),
                                  QStringLiteral("Lost"), QStringLiteral("Not started")}};
    for (const SessionSummary &summary : report.sessions) {
        const JournalSession &session = summary.session;
        const QString ended = session.ended.isValid() ? timeText(session.ended) : QStringLiteral("no end line");
        rows << (QStringList{session.id, session.host, session.folder, timeText(session.started), ended} +
                 outcomeCells(summary.outcomes));
    }
    rows << (QStringList{QStringLiteral("All"), QString(), QString(), QString(), QString()} + outcomeCells(report.all));
    return table(rows, 5);
}

QString portTable(const ShiftReport &report)
{
    QVector<QStringList> rows = {{QStringLiteral("Port"), QStringLiteral("Attempts"), QStringLiteral("Finished"),
                                  QStringLiteral("Failures"), QStringLiteral("Mean s"), QStringLiteral("Longest s")}};
    for (const PortSummary &port : report.ports) {
        const bool timed = port.outcomes.finished > 0;
        rows << QStringList{port.port,
                            QString::number(port.outcomes.total()),
                            QString::number(port.outcomes.finished),
                            QString::number(port.failures),
                            timed ? secondsText(port.meanSeconds) : QStringLiteral("-"),
                            timed ? secondsText(port.longestSeconds) : QStringLiteral("-")};
    }
    return table(rows, 1);
}

QString suspectLines(const ShiftReport &report)
{
    QString text =
        QStringLiteral("Suspect ports (%1 or more failures in a row while other ports pass):").arg(SuspectFailureRun);
    bool any = false;
    for (const PortSummary &port : report.ports) {
        if (!port.suspect)
            continue;
        any = true;
        text += QStringLiteral("\n  %1  %2 failures in a row, the last at %3: %4")
                    .arg(port.port)
                    .arg(port.longestFailureRun)
                    .arg(timeText(port.lastFailure), port.lastFailureReason);
    }
    return text + (any ? QStringLiteral("\n") : QStringLiteral(" none\n"));
}

} // namespace

QString renderShiftReport(const ShiftReport &report, const QString &source)
{
    QString text = QStringLiteral("Shift report of %1\n").arg(source);
    if (report.all.total() == 0)
        return text + QStringLiteral("No attempts.\n");
    text += QStringLiteral("Attempts started %1 to %2 (UTC)\n\n").arg(timeText(report.first), timeText(report.last));
    text += sessionTable(report) + QLatin1Char('\n');
    if (report.passRate < 0)
        text += QStringLiteral("Pass rate: - (no board was flashed to an end)\n");
    else
        text += QStringLiteral("Pass rate: %1 % (%2 finished of %3 flashed: finished, failed or lost)\n")
                    .arg(QString::number(report.passRate, 'f', 1))
                    .arg(report.all.finished)
                    .arg(report.all.flashed());
    if (report.timedBoards > 0)
        text += QStringLiteral("Time per finished board: mean %1 s, longest %2 s (port %3, started %4)\n")
                    .arg(secondsText(report.meanSeconds), secondsText(report.longest.seconds), report.longest.port,
                         timeText(report.longest.started));
    return text + QLatin1Char('\n') + portTable(report) + QLatin1Char('\n') + suspectLines(report);
}

namespace {

QString csvField(const QString &value)
{
    if (!value.contains(QRegularExpression(QStringLiteral("[,\"\r\n]"))))
        return value;
    return QLatin1Char('"') + QString(value).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

QString isoTime(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QString renderAttemptsCsv(const Journal &journal)
{
    QString text = QStringLiteral("session,seq,host,folder,port,mode,started,ended,seconds,outcome,reason,progress,"
                                  "image_path,image_size,image_sha256,log_path\n");
    for (const JournalAttempt &a : journal.attempts) {
        const QStringList fields = {a.session,
                                    QString::number(a.seq),
                                    a.host,
                                    a.folder,
                                    a.port,
                                    a.mode,
                                    isoTime(a.started),
                                    isoTime(a.ended),
                                    QString::number(a.seconds, 'f', 3),
                                    a.outcome,
                                    a.reason,
                                    a.progress < 0 ? QString() : QString::number(a.progress),
                                    a.imagePath,
                                    a.imageSize < 0 ? QString() : QString::number(a.imageSize),
                                    a.imageSha256,
                                    a.logPath};
        QStringList cells;
        for (const QString &field : fields)
            cells << csvField(field);
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}
