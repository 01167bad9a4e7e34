#include "discovery/autostartplan.h"

QStringList AutoStartPlan::portsToStart(const QStringList &listed, bool imageSet)
{
    // A board that left the listing is gone: the next one in its port is new.
    const QSet<QString> present(listed.cbegin(), listed.cend());
    for (auto it = m_handled.begin(); it != m_handled.end();) {
        if (present.contains(*it))
            ++it;
        else
            it = m_handled.erase(it);
    }
    QStringList start;
    if (!imageSet)
        return start;
    for (const QString &port : listed) {
        if (m_handled.contains(port))
            continue;
        m_handled.insert(port);
        start << port;
    }
    return start;
}
