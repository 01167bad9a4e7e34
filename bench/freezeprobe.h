#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class QDir;
class QTemporaryDir;

// What the benchmarks share.

// Runs the event loop for ms milliseconds.
void spinEventLoop(int ms);

// The values with the given decimals, separated by ", ".
QString numberList(const QVector<double> &values, int decimals);

// Median of the values; 0 when there are none.
double medianOf(QVector<double> values);

// A message handler that drops every message: the figures are the output.
void discardMessages(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The port path of the board at index, 32 boards to a hub: "1:1" to "1:32",
// then "2:1"...
inline QString boardPort(int index)
{
    return QStringLiteral("%1:%2").arg(1 + index / 32).arg(1 + index % 32);
}

// What they do before their application object: the offscreen platform
// unless one is set, dir prepared and made current, and messages dropped;
// false (after a message) when dir could not be prepared.
bool enterBenchFolder(const QTemporaryDir &dir, const std::function<bool(const QDir &)> &prepare);

// A 5 ms timer on the GUI thread that records the largest gap between its
// ticks: the longest time the window could not repaint or take a click.
class FreezeProbe
{
public:
    FreezeProbe();

    void start();
    // Stops the timer; the largest gap since start(), in ms.
    double stop();

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTick = 0;
    qint64 m_maxGap = 0;
};
