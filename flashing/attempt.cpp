#include "flashing/attempt.h"

QString attemptOutcomeName(AttemptOutcome outcome)
{
    switch (outcome) {
    case AttemptOutcome::Finished:
        return QStringLiteral("finished");
    case AttemptOutcome::Failed:
        return QStringLiteral("failed");
    case AttemptOutcome::Stopped:
        return QStringLiteral("stopped");
    case AttemptOutcome::Lost:
        return QStringLiteral("lost");
    case AttemptOutcome::NotStarted:
        break;
    }
    return QStringLiteral("not-started");
}
