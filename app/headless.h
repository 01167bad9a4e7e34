#pragma once

#include "app/commandline.h"
#include "flashing/attempt.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

class ImageFingerprint;
class QEventLoop;
class QIODevice;
class TerminationSignals;
class Widget;

// What a run without a window is asked to do.
struct HeadlessOptions
{
    QString image;
    // Mode for every board ("Image", "Kernel", "FileSystem"); "" keeps each
    // port's own.
    QString mode;
    // Fewer listed boards than this flash nothing; -1 takes any number.
    int expect = -1;
    // Seconds after which every tool is stopped; -1 waits for ever.
    int timeoutSeconds = -1;
    // One JSON summary on standard output instead of the lines.
    bool json = false;
};

// The command line's options for the run (its 0 for "not given" is -1 here).
HeadlessOptions headlessOptionsFrom(const Options &options);

// What a run saw, for its exit code and summary.
struct HeadlessTally
{
    int listed = 0;
    int expected = -1;
    bool timedOut = false;
    // A termination signal stopped the run.
    bool interrupted = false;
    // Why the station could not flash at all, or "".
    QString stationError;
    QVector<Attempt> attempts;
};

HeadlessExitCode headlessExitCode(const HeadlessTally &tally);
// "PORT<TAB>OUTCOME<TAB>SECONDS<TAB>LOG<TAB>REASON" for a board that ended.
QString headlessBoardLine(const Attempt &attempt);
// The closing line: boards listed, attempts by outcome, the exit code.
QString headlessSummary(const HeadlessTally &tally);
// The whole run as one JSON object.
QByteArray headlessJson(const HeadlessTally &tally);
// "running 3, finished 12, failed 1, slowest 42%" (no slowest when nothing runs).
QString headlessProgressLine(int running, int finished, int failed, int slowestPercent);

// With nobody at the screen, every message box that opens is said on err
// ("velmora: Error: ...") and closed at once, so that no modal loop waits
// for ever (the station lock's refusal, a refused start).
class UnattendedMessageBoxes : public QObject
{
public:
    // terminal: err shows a progress line that the text replaces.
    explicit UnattendedMessageBoxes(QIODevice *err, bool terminal = false, QObject *parent = nullptr);
    ~UnattendedMessageBoxes() override;

private:
    bool eventFilter(QObject *watched, QEvent *event) override;

    QIODevice *m_err;
    bool m_terminal;
};

// Lists the boards of the window's station, flashes every one of them and
// ends when every job has ended. The window is never shown; its rules apply
// as they do for an operator. Whatever records the window's attempts (the
// journal, the metrics file) is attached to the window before the run.
class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    // Writes the board lines and the summary to out, station errors and
    // the progress line (when showProgress) to err.
    HeadlessRun(Widget &window, const HeadlessOptions &options, QIODevice *out, QIODevice *err, bool showProgress);
    ~HeadlessRun() override;

    // Runs to the end; the exit code.
    HeadlessExitCode exec();

    const HeadlessTally &tally() const { return m_tally; }

    // The window's start check: when it expects a checksum, the boards are
    // started once the image's hash is known, not refused while it is
    // being computed.
    void setImageFingerprint(ImageFingerprint *fingerprint);

public slots:
    // Stops every tool (a termination signal); the run ends once each job has.
    void stop();

private:
    bool prepare();
    bool setModes();
    void waitForFingerprint();
    void startAll();
    void onEnded(const Attempt &attempt);
    void stopForTimeout();
    void finishIfDone();
    void showProgress();
    void say(QIODevice *device, const QString &text);

    QPointer<Widget> m_window;
    HeadlessOptions m_options;
    QIODevice *m_out;
    QIODevice *m_err;
    UnattendedMessageBoxes m_boxes;
    bool m_showProgress;
    HeadlessTally m_tally;
    QHash<QString, int> m_running; // port -> jobs started and not ended
    bool m_started = false;
    bool m_stopping = false;
    bool m_listingFailed = false;
    QTimer m_timeout;
    QTimer m_progress;
    QEventLoop *m_loop = nullptr;
    QPointer<ImageFingerprint> m_fingerprint;
};

// Runs headless on the standard streams (the progress line only when
// standard error is a terminal); termination, when given, stops the run;
// fingerprint: the one behind the window's start check, if any.
int runHeadless(Widget &window, const HeadlessOptions &options, TerminationSignals *termination = nullptr,
                ImageFingerprint *fingerprint = nullptr);

// Chooses the offscreen platform for the QApplication made after it: a run
// without a window needs no display (no X server, no Xvfb).
void selectHeadlessPlatform();

// The window's debug lines go to fileName (warnings still to standard
// error), so that standard error shows the run's progress and problems.
void sendDebugOutputTo(const QString &fileName);

// From now on what is written to standard output goes to standard error:
// the results stand alone on standard output (a JSON summary stays one
// document), whatever the window prints as it closes.
void keepStandardOutputForResults();
