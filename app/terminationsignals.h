#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

// SIGTERM, SIGHUP and SIGINT end Velmora the way closing its window does.
// The handler only writes the signal's number into a socket pair; the window
// is closed from the event loop, where teardown can kill and reap the tools.
// Where there are no such signals (Windows) nothing ever arrives.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // Closes the window and leaves every event loop (an open message box
    // included) when one of the signals arrives.
    void closeOnSignal(QWidget *window);

    // Whether one of the signals has arrived, even if the event loop has not
    // seen it yet: a blocking wait (a listing) asks it to give up early.
    static bool arrived();

signals:
    void received(int signalNumber);

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
};
