#include "flashing/flashprocess.h"

FlashProcess::FlashProcess(const Attempt &attempt, QObject *parent)
    : ToolProcess(parent)
    , m_attempt(attempt)
{}

void FlashProcess::decideEnd(AttemptOutcome outcome, const QString &reason)
{
    if (m_endDecided)
        return;
    m_endDecided = true;
    m_attempt.outcome = outcome;
    m_attempt.reason = reason;
}
