#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QVector>

// What the GUI-thread benchmarks (--burst, --table) share.

// Runs the event loop for ms milliseconds.
void spinEventLoop(int ms);

// Median of the values; 0 when there are none.
double medianOf(QVector<double> values);

// A message handler that drops every message: the figures are the output.
void discardMessages(QtMsgType type, const QMessageLogContext &context, const QString &message);

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
