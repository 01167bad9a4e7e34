#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

// Which boards a factory station starts by itself. A board is started once
// when it appears; it stays as it ended (or as the operator stopped it) until
// it has left the listing, and a board that then appears in that port is a
// new one.
class AutoStartPlan
{
public:
    // After a listing that succeeded: the ports listed now, in table order,
    // and whether an image is set. Returns the ports to start now; with no
    // image nothing is started and nothing is counted as handled, so the
    // boards are started once an image is set (call again then).
    QStringList portsToStart(const QStringList &listed, bool imageSet);

    // Whether a port's board has been started (or counted as handled) and
    // has not left the listing since.
    bool isHandled(const QString &port) const { return m_handled.contains(port); }

private:
    QSet<QString> m_handled;
};
