#pragma once

#include <QString>

// The texts a device row shows: in its status cell, on its action button and
// in the mode cell of a row left by a lost job.
namespace StatusText {

inline QString idle()
{
    return QStringLiteral("Idle");
}
inline QString running()
{
    return QStringLiteral("Running");
}
// Shown from a stop until the tool has ended.
inline QString stop()
{
    return QStringLiteral("Stop");
}
inline QString stopped()
{
    return QStringLiteral("Stopped");
}
inline QString finished()
{
    return QStringLiteral("Finished");
}
inline QString failed()
{
    return QStringLiteral("Failed");
}
// The row of a board that left while its job ran.
inline QString lost()
{
    return QStringLiteral("Fail");
}
inline QString notApplicable()
{
    return QStringLiteral("N/A");
}

// Action button.
inline QString run()
{
    return QStringLiteral("Run");
}
inline QString stopAction()
{
    return QStringLiteral("Stop");
}

// Progress bar formats past 99%.
inline QString waitingOkay()
{
    return QStringLiteral("100% (waiting Okay...)");
}
inline QString progressFinished()
{
    return QStringLiteral("Finished");
}

// Style of a failed status.
inline QString failedStyle()
{
    return QStringLiteral("color: red;");
}

} // namespace StatusText
