#pragma once

#include "flashing/metrics.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class Widget;

// Keeps a metrics file for the node exporter's textfile collector up to date
// with what a window does. The file is replaced in one step (a temporary
// file beside it, then a rename), so a reader never sees half of it; it is
// written at most once a second, soon after anything changes, and every
// few seconds anyway so that its update time shows the station is alive.
class StationMetrics : public QObject
{
    Q_OBJECT

public:
    // Shortest time between two writes, and longest without one.
    static constexpr int MinimumIntervalMs = 1000;
    static constexpr int HeartbeatIntervalMs = 10000;

    // Labels the series with this host and the current working directory
    // (the station folder); the session starts now.
    explicit StationMetrics(const QString &fileName, QObject *parent = nullptr);
    // Writes what changed since the last write. Made before the window and
    // ended after it, it counts the jobs that the window's end stops.
    ~StationMetrics() override;

    // Follows the window from now on and writes the file for the first time.
    void attach(Widget *window);

    QString fileName() const { return m_fileName; }
    const StationMetricsState &state() const { return m_state; }
    // Files written so far, successfully.
    int writeCount() const { return m_writeCount; }

    // Writes the file at once; false when it could not be written (said
    // once on the debug output until a write succeeds again).
    bool writeNow();

signals:
    // A new file is in place.
    void written(const QString &fileName);

private:
    void seedFromTable();
    void changed();

    QPointer<Widget> m_window;
    QString m_fileName;
    StationMetricsState m_state;
    QHash<QString, int> m_openAttempts; // port -> attempts started and not ended
    QTimer m_writeTimer;
    QTimer m_heartbeat;
    QElapsedTimer m_sinceWrite;
    bool m_dirty = false;
    bool m_failureSaid = false;
    int m_writeCount = 0;
};
