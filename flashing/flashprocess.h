#pragma once

#include "discovery/toolprocess.h"
#include "flashing/attempt.h"

// The flashing tool of one board's job, and everything that job knows while
// it runs: the window keeps one per port in processMap and forgets it with
// the job.
class FlashProcess : public ToolProcess
{
public:
    // attempt: the job as it was asked for (port, mode, image, start time).
    FlashProcess(const Attempt &attempt, QObject *parent = nullptr);

    const QString &port() const { return m_attempt.port; }

    // The job as asked for, with the arguments it was started with and, once
    // set, how it ends.
    const Attempt &attempt() const { return m_attempt; }
    void setArguments(const QStringList &arguments) { m_attempt.arguments = arguments; }
    void setLogPath(const QString &path) { m_attempt.logPath = path; }

    // Decides how the job ends; the first decision holds (a tool killed for
    // a failure word ends as failed, whatever its exit says afterwards).
    void decideEnd(AttemptOutcome outcome, const QString &reason);
    bool endDecided() const { return m_endDecided; }

    // The script file the tool was started with.
    QString scriptFile;

    // Unfinished last line of the output, for words split between reads.
    QString outputCarry;

    // What the output has said about completion so far.
    int lastPercent = -1;
    bool markerPrinted = false;

    // Whether a short log has been reported.
    bool logFailureReported = false;

    // Velmora killed the tool to end the job (a stop, or its board left): its
    // end is shown when the toolkit reports it, unless the job was released
    // in another way first. rowShowsEnd: the board's row shows "Stopped" then.
    bool endPending = false;
    bool rowShowsEnd = false;

private:
    Attempt m_attempt;
    bool m_endDecided = false;
};
