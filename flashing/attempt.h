#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// How one asked-for flashing job ended.
enum class AttemptOutcome {
    Finished,   // the tool showed the flash complete
    Failed,     // a failure word, a crash, an exit code, a script or log that could not be written
    Stopped,    // the operator (or StopAll, or the window's end) stopped it
    Lost,       // the board left the listing while its job ran
    NotStarted, // the tool could not be started, or Velmora refused to start it
};

// "finished", "failed", "stopped", "lost", "not-started".
QString attemptOutcomeName(AttemptOutcome outcome);

// One job from the moment it was asked for to its end: what the window knows
// of it. Times are UTC.
struct Attempt
{
    QString port;
    QString mode;
    QString imagePath;
    // The tool's arguments; empty when no tool was started.
    QStringList arguments;
    QDateTime started;
    QDateTime ended;
    AttemptOutcome outcome = AttemptOutcome::NotStarted;
    // Why it ended, for every outcome but Finished ("the flashing tool
    // crashed", "failure word seen", "board vanished", ...).
    QString reason;
    // Last percentage the tool printed, or -1.
    int progress = -1;
    // The board's log (the per-port file), or "" when none was opened.
    QString logPath;
};

// Why Velmora refuses to start a job, or an empty reason when it may start.
struct StartRefusal
{
    // For the attempt's record ("image checksum mismatch").
    QString reason;
    // For the operator, in the "Error" box.
    QString message;
};
