#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/toolcontract.h"
#include "flashing/attemptsignals.h"
#include "flashing/flashprocess.h"
#include "flashing/jobdescriptors.h"
#include "flashing/lognames.h"
#include "flashing/outputinterpreter.h"
#include "flashing/statustexts.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>

namespace {

const auto processFinished = QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished);

void showProgress(QProgressBar *bar, int value, const QString &format)
{
    bar->setValue(value);
    if (bar->format() != format)
        bar->setFormat(format);
}

void showStatus(QLabel *label, QAbstractButton *button, const QString &status, const QString &action)
{
    if (label)
        label->setText(status);
    if (button)
        button->setText(action);
}

AttemptOutcome outcomeShownAs(const QString &statusText)
{
    if (statusText == StatusText::finished())
        return AttemptOutcome::Finished;
    if (statusText == StatusText::failed())
        return AttemptOutcome::Failed;
    return AttemptOutcome::Stopped;
}

} // namespace

bool Widget::hasJob(const QString &devicePort) const
{
    return processMap.value(devicePort) != nullptr;
}

FlashProcess *Widget::jobProcess(const QString &devicePort) const
{
    // Every process in the map is a job's FlashProcess.
    return static_cast<FlashProcess *>(processMap.value(devicePort));
}

QString Widget::getDeviceMode(const QString &devicePort) const
{
    QTableWidget *table = ui->tableWidget;
    // Rows before the first one of this path cannot match.
    for (int row = findRowByPath(devicePort); row >= 0 && row < table->rowCount(); ++row) {
        if (portAt(row) != devicePort)
            continue;
        if (const QComboBox *mode = modeComboAt(row))
            return mode->currentText();
    }
    return QString();
}

Attempt Widget::newAttempt(const QString &devicePort, const QString &deviceMode) const
{
    Attempt attempt;
    attempt.port = devicePort;
    attempt.mode = deviceMode;
    attempt.imagePath = imagePath();
    attempt.started = QDateTime::currentDateTimeUtc();
    return attempt;
}

void Widget::runOrStopDevice(const QString &devicePort)
{
    if (!deviceRow(devicePort))
        return;
    // A stop acts at once: it writes no script and checks no image path, so
    // that no error box can keep a tool flashing while it waits.
    if (hasJob(devicePort)) {
        stopJob(devicePort);
        return;
    }

    const QString deviceMode = getDeviceMode(devicePort);
    qDebug() << "Print Mode" << deviceMode;
    const Attempt attempt = newAttempt(devicePort, deviceMode);
    const StartRefusal refusal = checkStart();
    if (!refusal.reason.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), refusal.message, QMessageBox::Ok);
        // The box ran an event loop: another start may have come first.
        if (!hasJob(devicePort))
            endUnstartedAttempt(attempt, refusal.reason, false);
        return;
    }
    QString scriptFile;
    const bool scriptWritten = generateScript(deviceMode, &scriptFile);
    // The error box of generateScript runs an event loop in which the table
    // may have been rebuilt or the board started.
    if (hasJob(devicePort))
        return;
    if (scriptWritten)
        startJob(attempt, scriptFile);
    else if (!scriptWriteError.isEmpty())
        endUnstartedAttempt(attempt, scriptWriteError, true);
    else
        endUnstartedAttempt(attempt, QStringLiteral("no usable image"), false);
}

void Widget::endUnstartedAttempt(Attempt attempt, const QString &reason, bool failed)
{
    attempt.ended = QDateTime::currentDateTimeUtc();
    attempt.outcome = AttemptOutcome::NotStarted;
    attempt.reason = failed ? QStringLiteral("script not written: %1").arg(reason) : reason;
    if (failed) {
        failJob(nullptr, attempt.port, reason);
    } else {
        const DeviceRow row = deviceRow(attempt.port);
        finishJob(attempt.port, row.status, row.action, StatusText::stopped());
    }
    emit announcements->attemptEnded(attempt);
}

void Widget::stopJob(const QString &devicePort)
{
    const DeviceRow row = deviceRow(devicePort);
    showStatus(row.status, row.action, StatusText::stop(), StatusText::run());
    qDebug() << "Target Will Kill Process";
    if (FlashProcess *process = jobProcess(devicePort))
        endJobByKill(process, AttemptOutcome::Stopped, QStringLiteral("stopped by the operator"), true);
    else
        finishJob(devicePort, row.status, row.action, StatusText::stopped());
}

void Widget::endJobByKill(FlashProcess *process, AttemptOutcome outcome, const QString &reason, bool rowShowsEnd)
{
    process->decideEnd(outcome, reason);
    const QString devicePort = process->port();
    if (process->state() != QProcess::Running) {
        const DeviceRow row = rowShowsEnd ? deviceRow(devicePort) : DeviceRow();
        finishJob(devicePort, row.status, row.action, StatusText::stopped());
        return;
    }
    process->endPending = true;
    process->rowShowsEnd = rowShowsEnd;
    QPointer<FlashProcess> guard(process);
    connect(process, processFinished, this, [this, guard] {
        // Only a job that is still this process's may be ended.
        if (!guard || !guard->endPending || jobProcess(guard->port()) != guard) {
            updateButtonStates();
            return;
        }
        guard->endPending = false;
        const DeviceRow row = guard->rowShowsEnd ? deviceRow(guard->port()) : DeviceRow();
        finishJob(guard->port(), row.status, row.action, StatusText::stopped());
    });
    process->killChild();
}

void Widget::startJob(const Attempt &attempt, const QString &scriptFile)
{
    const QString &devicePort = attempt.port;
    auto *process = new FlashProcess(attempt, this);
    process->scriptFile = scriptFile;
    // The tool reads nothing from us, and its standard error is never read:
    // neither needs a pipe.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());

    qDebug() << "Debug CMD:" << ToolContract::flashCommandLine(devicePort, scriptFile);
    const QStringList arguments = ToolContract::flashArguments(devicePort, scriptFile);
    process->setArguments(arguments);
    const bool started = process->startTool(ToolContract::program(), arguments, QIODevice::ReadWrite);
    if (started)
        watchJobDescriptors(process);
    processMap.insert(devicePort, process);
    openJobLog(process);

    const DeviceRow row = deviceRow(devicePort);
    showStatus(row.status, row.action, StatusText::running(), StatusText::stopAction());
    // The red of an earlier failure goes with it.
    if (row.status)
        row.status->setStyleSheet(QString());

    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        handleJobOutput(process);
    });
    connect(process, processFinished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        handleJobFinished(process, exitCode, status);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            handleJobStartFailure(process);
    });
    emit announcements->attemptStarted(process->attempt());
    if (!started) {
        handleJobStartFailure(process);
        return;
    }
    // StopAll counts running tools only, and the tool may still be starting
    // here (where starting is synchronous it already runs).
    if (process->state() == QProcess::Starting)
        connect(process, &QProcess::started, this, &Widget::updateButtonStates);
    updateButtonStates();
}

void Widget::openJobLog(FlashProcess *process)
{
    const QString devicePort = process->port();
    QDir::current().mkpath(QStringLiteral("logs"));
    auto *logFile = new QFile(logFileNameForPort(devicePort), this);
    // Raw bytes, unbuffered: the log holds exactly what the tool printed.
    if (logFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        logFileMap.insert(devicePort, logFile);
        logStreamMap.insert(devicePort, new QTextStream(logFile));
        process->setLogPath(logFile->fileName());
    } else {
        reportLogFailure(process,
                         QStringLiteral("cannot open log %1: %2").arg(logFile->fileName(), logFile->errorString()));
        delete logFile;
    }
}

void Widget::handleJobStartFailure(FlashProcess *process)
{
    if (jobProcess(process->port()) != process)
        return;
    process->markStartFailed();
    const QString reason = QStringLiteral("the flashing tool could not be started: %1").arg(process->startError());
    process->decideEnd(AttemptOutcome::NotStarted, reason);
    failJob(process, process->port(), reason);
}

void Widget::handleJobOutput(FlashProcess *process)
{
    const QByteArray chunk = process->readAllStandardOutput();
    const QString devicePort = process->port();
    // Output of a job that has been released is dropped: it must neither
    // change the row's final status nor reach the closed log.
    if (chunk.isEmpty() || jobProcess(devicePort) != process)
        return;

    qDebug() << "Debug Print Log:" << chunk;
    writeJobLog(process, chunk);

    const QString text = decodeOutputChunk(chunk);
    const QString marker = devicePort + QLatin1String("->Okay");
    const ChunkVerdict verdict = interpretChunk(process->outputCarry, text, marker);
    process->outputCarry = nextCarry(process->outputCarry, text, carryLengthFor(marker));
    if (verdict.lastProgress >= 0)
        process->lastPercent = verdict.lastProgress;
    process->markerPrinted = process->markerPrinted || verdict.markerSeen;

    if (verdict.failed) {
        process->decideEnd(AttemptOutcome::Failed, QStringLiteral("failure word seen"));
        failJob(process, devicePort, QString());
        return;
    }

    const DeviceRow row = deviceRow(devicePort);
    showJobProgress(process, row, verdict.progress, verdict.reachedHundred);
    if (verdict.markerSeen && awaitingOkayMap.value(devicePort)) {
        qDebug().noquote() << devicePort + QLatin1String(" flashing finished.");
        if (row.progress)
            showProgress(row.progress, 100, StatusText::progressFinished());
        finishJob(devicePort, row.status, row.action, StatusText::finished());
    }
}

void Widget::showJobProgress(FlashProcess *process, const DeviceRow &row, int progress, bool reachedHundred)
{
    if (!row.progress)
        return;
    if (progress >= 0 && progress < 100)
        showProgress(row.progress, progress, QStringLiteral("%1%").arg(progress));
    else if (progress == 100)
        showProgress(row.progress, 100, StatusText::waitingOkay());
    if (reachedHundred)
        awaitingOkayMap.insert(process->port(), true);
}

int Widget::extractProgressValue(const QString &output)
{
    return firstPercentage(output);
}

void Widget::handleJobFinished(FlashProcess *process, int exitCode, int exitStatus)
{
    const QString devicePort = process->port();
    if (jobProcess(devicePort) != process)
        return;
    // A tool that Velmora killed while its job is still registered was
    // stopped, or its board vanished: the stop or removal handler connected
    // for that ends the job. Its end is no success of the tool, whatever row
    // now shows the board.
    if (process->killedByUs())
        return;
    // An end that Velmora did not cause, without the completion marker, is a
    // failure unless the tool says it succeeded.
    QString failure;
    if (exitStatus == QProcess::CrashExit)
        failure = QStringLiteral("the flashing tool crashed");
    else if (exitCode != 0)
        failure = QStringLiteral("the flashing tool exited with code %1").arg(exitCode);
    // Exit code 0 alone proves nothing (a usage text ends with it): the
    // output must show the flash complete.
    else if (!process->markerPrinted && process->lastPercent < 0)
        failure = QStringLiteral("the flashing tool exited with code 0 without showing any progress");
    else if (!process->markerPrinted && process->lastPercent != 100)
        failure =
            QStringLiteral("the flashing tool exited with code 0 at %1% without completing").arg(process->lastPercent);
    if (!failure.isEmpty()) {
        process->decideEnd(AttemptOutcome::Failed, failure);
        failJob(process, devicePort, failure);
        return;
    }
    const DeviceRow row = deviceRow(devicePort);
    finishJob(devicePort, row.status, row.action, StatusText::finished());
}

void Widget::failJob(FlashProcess *process, const QString &devicePort, const QString &reason)
{
    qDebug().noquote() << devicePort + QStringLiteral(" 出现异常, 停止该任务.");
    if (!reason.isEmpty())
        qDebug().noquote() << QStringLiteral("Device %1: %2").arg(devicePort, reason);
    failedDevices.insert(devicePort);

    const DeviceRow row = deviceRow(devicePort);
    if (row.status) {
        row.status->setText(StatusText::failed());
        row.status->setStyleSheet(StatusText::failedStyle());
    }
    if (process) {
        process->decideEnd(AttemptOutcome::Failed, reason);
        writeJobLog(process, "[Process Failed Detected]\n");
        process->killChild();
    }
    finishJob(devicePort, row.status, row.action, StatusText::failed());
    updateDeviceCountLineEdit();
}

void Widget::writeJobLog(FlashProcess *process, const QByteArray &bytes)
{
    emit announcements->attemptLogged(process->port(), bytes);
    QFile *logFile = logFileMap.value(process->port());
    if (!logFile)
        return;
    const qint64 written = logFile->write(bytes);
    if (written != bytes.size())
        reportLogWriteFailure(process, logFile, written, bytes.size());
}

void Widget::reportLogFailure(FlashProcess *process, const QString &reason)
{
    if (process->logFailureReported)
        return;
    process->logFailureReported = true;
    qDebug().noquote() << QStringLiteral("Device %1: %2").arg(process->port(), reason);
}

void Widget::reportLogWriteFailure(FlashProcess *process, QFile *logFile, qint64 written, qint64 size)
{
    // A write that stops short sets no error of the file: the failure of the
    // rest would show only on the next write.
    const bool failed = logFile && logFile->error() != QFileDevice::NoError;
    const QString reason = failed
                               ? logFile->errorString()
                               : QStringLiteral("only %1 of %2 bytes written").arg(qMax<qint64>(written, 0)).arg(size);
    reportLogFailure(process,
                     QStringLiteral("cannot write log %1: %2").arg(logFileNameForPort(process->port()), reason));
    if (logFile)
        logFile->unsetError();
}

void Widget::finishJob(const QString &devicePort, QLabel *statusLabel, QAbstractButton *actionButton,
                       const QString &statusText)
{
    showStatus(statusLabel, actionButton, statusText, StatusText::run());
    delete logStreamMap.take(devicePort);
    if (QFile *logFile = logFileMap.take(devicePort)) {
        logFile->close();
        delete logFile;
    }
    awaitingOkayMap.remove(devicePort);
    if (FlashProcess *process = jobProcess(devicePort)) {
        processMap.remove(devicePort);
        process->decideEnd(outcomeShownAs(statusText), QString());
        Attempt attempt = process->attempt();
        attempt.ended = QDateTime::currentDateTimeUtc();
        attempt.progress = process->lastPercent;
        releaseJobScript(process->scriptFile);
        releaseProcess(process);
        emit announcements->attemptEnded(attempt);
    }
    updateButtonStates();
}

void Widget::releaseProcess(FlashProcess *process)
{
    if (process->state() == QProcess::NotRunning) {
        // Its end has been signalled (a stop handler may still follow in the
        // same emission, which deleteLater waits for). A wrapper's child may
        // still run in its group.
        process->endGroup();
        process->deleteLater();
        return;
    }
    // Released before its end: no stop may be shown for it any more. It is
    // killed without waiting and deleted once the toolkit has reaped it.
    process->endPending = false;
    if (process->killChild()) {
        connect(process, processFinished, process, &QObject::deleteLater);
    } else {
        process->markNotRunning();
        process->deleteLater();
    }
}

void Widget::onDeviceError(int devicePort, const QString &errorMessage)
{
    failedDevices.insert(QString::number(devicePort));
    qDebug().noquote() << QStringLiteral("Device %1 Error: %2").arg(devicePort).arg(errorMessage);
    updateDeviceCountLineEdit();
}

void Widget::runAll()
{
    // A refusal holds for every board alike: one box says it, not one per row.
    const StartRefusal refusal = checkStart();
    if (!refusal.reason.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), refusal.message, QMessageBox::Ok);
        for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
            const QString devicePort = portAt(row);
            if (deviceRow(devicePort) && findRowByPath(devicePort) == row && !hasJob(devicePort))
                endUnstartedAttempt(newAttempt(devicePort, getDeviceMode(devicePort)), refusal.reason, false);
        }
        updateButtonStates();
        return;
    }
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        const QString devicePort = portAt(row);
        if (!hasJob(devicePort))
            runOrStopDevice(devicePort);
    }
    updateButtonStates();
}

void Widget::stopAll()
{
    // Every registered job, whether a row shows its board or not (a listing
    // may have dropped it); a stop changes processMap, hence the copy.
    const QStringList devicePorts = processMap.keys();
    for (const QString &devicePort : devicePorts) {
        if (hasJob(devicePort))
            stopJob(devicePort);
    }
    updateButtonStates();
}
