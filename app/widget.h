#pragma once

#include "flashing/attempt.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
class QAbstractButton;
class QComboBox;
class QFile;
class QLabel;
class QProcess;
class QProgressBar;
class QPushButton;
class QTextStream;
QT_END_NAMESPACE

class AttemptSignals;
class DeviceChangeSource;
class FlashProcess;
class RescanScheduler;
struct DeviceChangeEvent;
struct ListedDevice;

// The main window: the device table, one flashing job per device, and the
// summary lines.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Lists the devices again and rebuilds the table, keeping each device's
    // status and running job; a running device that is gone leaves a "Fail"
    // row and its job is ended.
    void rescanDevices();

    // Starts the device's flashing job, or stops the one it has.
    void runOrStopDevice(const QString &devicePort);

    // Index of the first row built for exactly this port path, or -1.
    int findRowByPath(const QString &path) const;

    // Port path a row was built for, whatever its cell shows, or "".
    QString portAt(int row) const;

    // Enables "StartAll" when the table has rows and "StopAll" when a job's
    // tool is running.
    void updateButtonStates();

    // Ends a device's job: sets the texts of the given widgets (either may be
    // null), closes its log, stops and releases its tool, forgets its state.
    // Calling it again for the same device only sets the texts again.
    void finishJob(const QString &devicePort, QLabel *statusLabel, QAbstractButton *actionButton,
                   const QString &statusText);

    // Mode chosen in the first row of the device with a mode selector, or "".
    QString getDeviceMode(const QString &devicePort) const;

    // Writes the generated script for a device mode from its template with
    // the image path of the form. False when nothing was written. A script
    // that a running job was started with never changes: when it would, the
    // script goes to a file of its own, whose name scriptFile receives.
    bool generateScript(const QString &deviceMode, QString *scriptFile = nullptr);

    // Rebuilds the table from a listing text; devices whose job still runs
    // show "Running", all others "Idle", and a running device that is not
    // listed leaves a "Fail" row and its job is ended, as in a rescan.
    void populateDeviceTable(const QString &text);

    // Subscribes to the platform's device arrival and removal notifications.
    void registerDeviceNotifications();

    // Empties the failed-device record and refreshes the summary lines.
    void resetFailedDevice();

    // Cell widgets of a row, or null when the cell holds none of that kind.
    QLabel *statusLabelAt(int row) const;
    QPushButton *actionButtonAt(int row) const;
    QComboBox *modeComboAt(int row) const;
    QProgressBar *progressBarAt(int row) const;

    // The image path of the form.
    QString imagePath() const;
    void setImagePath(const QString &path);

    // Rows of the device table.
    int rowCount() const;

    // Whether the device has a job (its tool runs, starts or is being ended).
    bool hasJob(const QString &devicePort) const;

    // What the start check says of the form's image now.
    StartRefusal checkStart() const;

    // Jobs whose tool runs or is starting.
    int runningJobCount() const;

    // Asked before each job is started (a script written, a tool run): a
    // refusal shows its message in an "Error" box and the job ends as not
    // started. Without a check every start may go ahead.
    using StartCheck = std::function<StartRefusal(const QString &imagePath)>;
    void setStartCheck(StartCheck check);

    // The announcements of jobs and listings, owned by the window.
    AttemptSignals *attemptSignals() const { return announcements; }

protected:
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;
#else
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;
#endif

private slots:
    void doProcessFinished();
    void doSelectAllFile();
    void updateDeviceCountLineEdit();
    int extractProgressValue(const QString &output);
    void onDeviceError(int devicePort, const QString &errorMessage);
    void runAll();
    void stopAll();
    void listdevices();

private:
    // The widgets of a device's first row: all null unless it has a status
    // label and an action button (a listed board's row).
    struct DeviceRow
    {
        QLabel *status = nullptr;
        QPushButton *action = nullptr;
        QProgressBar *progress = nullptr;
        explicit operator bool() const { return status != nullptr; }
    };
    DeviceRow deviceRow(const QString &devicePort) const;

    // Runs the listing; false, with a debug line saying why (and the failed
    // listing announced), when it says nothing about the boards (then nothing
    // may change). A listing that succeeded is announced once it is applied.
    bool runDeviceListing(QVector<ListedDevice> *devices);
    // Rebuilds the rows for the listed devices with the given statuses and
    // each port's mode, then ends the job of each "Running" device that is
    // not listed any more, leaving a lost-job row.
    void applyListing(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses);
    void rebuildDeviceRows(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses,
                           const QMap<QString, QString> &modes);
    void appendLostJobRow(const QString &devicePort);
    // The job registered for a port, or null.
    FlashProcess *jobProcess(const QString &devicePort) const;
    // The job as asked for now: port, mode, image path, start time.
    Attempt newAttempt(const QString &devicePort, const QString &deviceMode) const;
    void startJob(const Attempt &attempt, const QString &scriptFile);
    // Opens the board's log for a job starting now.
    void openJobLog(FlashProcess *process);
    // Ends an attempt that never got a tool: announces it, and shows it on
    // the row as failed (with a debug line) or as stopped when reason is
    // the operator's matter.
    void endUnstartedAttempt(Attempt attempt, const QString &reason, bool failed);
    // The file to write a script for a mode to: the mode's generated script
    // unless a running job uses it with other content.
    QString scriptFileFor(const QString &deviceMode, const QByteArray &script) const;
    bool writeScriptFile(const QString &name, const QByteArray &script);
    // Removes the script a job was started with when it was that job's own
    // and no other job uses it.
    void releaseJobScript(const QString &scriptFile);
    // Kills the device's tool at once; its row, if any, ends "Stopped".
    void stopJob(const QString &devicePort);
    // Kills a job's tool and ends the job "Stopped" once the toolkit reports
    // its end (at once when no tool runs); rowShowsEnd: its row shows it.
    void endJobByKill(FlashProcess *process, AttemptOutcome outcome, const QString &reason, bool rowShowsEnd);
    void handleJobOutput(FlashProcess *process);
    void showJobProgress(FlashProcess *process, const DeviceRow &row, int progress, bool reachedHundred);
    void handleJobFinished(FlashProcess *process, int exitCode, int exitStatus);
    void handleJobStartFailure(FlashProcess *process);
    // Shows the device's job as failed and ends it; process may be null when
    // no tool was started.
    void failJob(FlashProcess *process, const QString &devicePort, const QString &reason);
    // Writes to the board's log (and announces the bytes).
    void writeJobLog(FlashProcess *process, const QByteArray &bytes);
    void releaseProcess(FlashProcess *process);
    // Says in the debug output, once per job, that its log is short.
    void reportLogFailure(FlashProcess *process, const QString &reason);
    void reportLogWriteFailure(FlashProcess *process, QFile *logFile, qint64 written, qint64 size);
    void onDeviceChange(const DeviceChangeEvent &event);
    void stopAllChildrenForExit();

    Ui::Widget *ui;

    int connectedCount = 0;
    QSet<QString> failedDevices;
    QMap<QString, QFile *> logFileMap;
    QMap<QString, QTextStream *> logStreamMap;
    QMap<QString, QProcess *> processMap;
    QMap<QString, bool> awaitingOkayMap;

    // Scripts written for one job each, not yet removed.
    QSet<QString> ownJobScripts;
    // First row of each path; rebuilt lazily after any change of the table.
    mutable QHash<QString, int> rowIndex;
    mutable bool rowIndexValid = false;
    DeviceChangeSource *deviceSource = nullptr;
    RescanScheduler *rescanScheduler = nullptr;
    // Why the last generateScript() wrote nothing, when it was a failure of
    // the station (no descriptor, no space) rather than of the operator's input.
    QString scriptWriteError;
    StartCheck startCheck;
    AttemptSignals *announcements = nullptr;
};
