#pragma once

#include "flashing/attempt.h"

#include <QObject>

// What the window announces about its jobs and listings, for records,
// automation and metrics to follow without the window knowing them. The
// window itself declares no signals; it emits these.
class AttemptSignals : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // A job was asked for and its tool started (or failed to).
    void attemptStarted(const Attempt &attempt);
    // Bytes written to the board's log, in order: the tool's output and
    // Velmora's own trailer lines.
    void attemptLogged(const QString &devicePort, const QByteArray &bytes);
    // A job has ended, whatever the way; every attempt ends exactly once.
    void attemptEnded(const Attempt &attempt);
    // A listing ran: whether it said anything about the boards, and how many
    // it listed. A listing that succeeded is announced once the table shows it.
    void listingFinished(bool succeeded, int deviceCount);
    // The image path of the form changed (typed, picked or set).
    void imagePathChanged(const QString &path);
};
