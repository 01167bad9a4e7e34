#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/listingparser.h"
#include "discovery/toolcontract.h"
#include "discovery/toolprocess.h"
#include "flashing/jobdescriptors.h"
#include "flashing/lognames.h"
#include "flashing/outputinterpreter.h"
#include "flashing/scriptgenerator.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>

namespace {

// Set on a process whose stop the operator asked for, until its end has been
// shown as "Stopped" or its job was released in another way.
const char StopPendingProperty[] = "velmoraStopPending";

const auto processFinished = QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished);

void showProgress(QProgressBar *bar, int value, const QString &format)
{
    bar->setValue(value);
    if (bar->format() != format)
        bar->setFormat(format);
}

} // namespace

bool Widget::hasJob(const QString &devicePort) const
{
    return processMap.value(devicePort) != nullptr;
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

void Widget::runOrStopDevice(const QString &devicePort)
{
    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    if (!deviceRowWidgets(devicePort, &statusLabel, &actionButton))
        return;
    // A stop acts at once: it writes no script and checks no image path, so
    // that no error box can keep a tool flashing while it waits.
    if (hasJob(devicePort)) {
        stopJob(devicePort);
        return;
    }

    const QString deviceMode = getDeviceMode(devicePort);
    qDebug() << "Print Mode" << deviceMode;
    QString scriptFile;
    const bool scriptWritten = generateScript(deviceMode, &scriptFile);
    // The error box of generateScript runs an event loop in which the table
    // may have been rebuilt: take the row's widgets again.
    deviceRowWidgets(devicePort, &statusLabel, &actionButton);
    if (hasJob(devicePort))
        return;
    if (scriptWritten)
        startJob(devicePort, scriptFile);
    else if (!scriptWriteError.isEmpty())
        failJob(nullptr, devicePort, scriptWriteError);
    else
        finishJob(devicePort, statusLabel, actionButton, QStringLiteral("Stopped"));
}

void Widget::stopJob(const QString &devicePort)
{
    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    deviceRowWidgets(devicePort, &statusLabel, &actionButton);
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Stop"));
    if (actionButton)
        actionButton->setText(QStringLiteral("Run"));
    qDebug() << "Target Will Kill Process";
    QProcess *process = processMap.value(devicePort);
    if (process && process->state() == QProcess::Running) {
        process->setProperty(StopPendingProperty, true);
        QPointer<QProcess> guard(process);
        connect(process, processFinished, this, [this, devicePort, guard] {
            if (!guard || !guard->property(StopPendingProperty).toBool())
                return;
            guard->setProperty(StopPendingProperty, false);
            QLabel *label = nullptr;
            QPushButton *button = nullptr;
            deviceRowWidgets(devicePort, &label, &button);
            finishJob(devicePort, label, button, QStringLiteral("Stopped"));
        });
        static_cast<ToolProcess *>(process)->killChild();
        return;
    }
    finishJob(devicePort, statusLabel, actionButton, QStringLiteral("Stopped"));
}

void Widget::startJob(const QString &devicePort, const QString &scriptFile)
{
    logFailureReported.remove(devicePort);
    jobProgress.remove(devicePort);
    auto *process = new ToolProcess(this);
    // The tool reads nothing from us, and its standard error is never read:
    // neither needs a pipe.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());

    qDebug() << "Debug CMD:" << ToolContract::flashCommandLine(devicePort, scriptFile);
    const bool started = process->startTool(ToolContract::program(),
                                            ToolContract::flashArguments(devicePort, scriptFile), QIODevice::ReadWrite);
    if (started)
        watchJobDescriptors(process);
    processMap.insert(devicePort, process);
    jobScriptMap.insert(devicePort, scriptFile);

    QDir::current().mkpath(QStringLiteral("logs"));
    auto *logFile = new QFile(logFileNameForPort(devicePort), this);
    // Raw bytes, unbuffered: the log holds exactly what the tool printed.
    if (logFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        logFileMap.insert(devicePort, logFile);
        logStreamMap.insert(devicePort, new QTextStream(logFile));
    } else {
        reportLogFailure(devicePort,
                         QStringLiteral("cannot open log %1: %2").arg(logFile->fileName(), logFile->errorString()));
        delete logFile;
    }
    outputCarry.remove(devicePort);

    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    if (deviceRowWidgets(devicePort, &statusLabel, &actionButton)) {
        statusLabel->setText(QStringLiteral("Running"));
        // The red of an earlier failure goes with it.
        statusLabel->setStyleSheet(QString());
        actionButton->setText(QStringLiteral("Stop"));
    }

    connect(process, &QProcess::readyReadStandardOutput, this, [this, process, devicePort] {
        handleJobOutput(process, devicePort);
    });
    connect(process, processFinished, this, [this, process, devicePort](int exitCode, QProcess::ExitStatus status) {
        handleJobFinished(process, devicePort, exitCode, status);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, devicePort](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            handleJobStartFailure(process, devicePort);
    });
    if (!started) {
        handleJobStartFailure(process, devicePort);
        return;
    }
    // StopAll counts running tools only, and the tool may still be starting
    // here (where starting is synchronous it already runs).
    if (process->state() == QProcess::Starting)
        connect(process, &QProcess::started, this, &Widget::updateButtonStates);
    updateButtonStates();
}

void Widget::handleJobStartFailure(QProcess *process, const QString &devicePort)
{
    if (processMap.value(devicePort) != process)
        return;
    static_cast<ToolProcess *>(process)->markStartFailed();
    failJob(process, devicePort,
            QStringLiteral("the flashing tool could not be started: %1")
                .arg(static_cast<ToolProcess *>(process)->startError()));
}

void Widget::handleJobOutput(QProcess *process, const QString &devicePort)
{
    const QByteArray chunk = process->readAllStandardOutput();
    // Output of a job that has been released is dropped: it must neither
    // change the row's final status nor reach the closed log.
    if (chunk.isEmpty() || processMap.value(devicePort) != process)
        return;

    qDebug() << "Debug Print Log:" << chunk;
    if (QFile *logFile = logFileMap.value(devicePort)) {
        const qint64 written = logFile->write(chunk);
        if (written != chunk.size())
            reportLogWriteFailure(devicePort, logFile, written, chunk.size());
    }

    const QString text = decodeOutputChunk(chunk);
    const QString marker = devicePort + QLatin1String("->Okay");
    QString &carry = outputCarry[devicePort];
    const ChunkVerdict verdict = interpretChunk(carry, text, marker);
    carry = nextCarry(carry, text, carryLengthFor(marker));
    JobProgress &progress = jobProgress[devicePort];
    if (verdict.lastProgress >= 0)
        progress.lastPercent = verdict.lastProgress;
    progress.markerPrinted = progress.markerPrinted || verdict.markerSeen;

    if (verdict.failed) {
        failJob(process, devicePort, QString());
        return;
    }

    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    QProgressBar *bar = nullptr;
    if (deviceRowWidgets(devicePort, &statusLabel, &actionButton))
        bar = progressBarAt(findRowByPath(devicePort));

    if (bar && verdict.progress >= 0 && verdict.progress < 100)
        showProgress(bar, verdict.progress, QStringLiteral("%1%").arg(verdict.progress));
    else if (bar && verdict.progress == 100)
        showProgress(bar, 100, QStringLiteral("100% (waiting Okay...)"));
    if (bar && verdict.reachedHundred)
        awaitingOkayMap.insert(devicePort, true);

    if (verdict.markerSeen && awaitingOkayMap.value(devicePort)) {
        qDebug().noquote() << devicePort + QLatin1String(" flashing finished.");
        if (bar)
            showProgress(bar, 100, QStringLiteral("Finished"));
        finishJob(devicePort, statusLabel, actionButton, QStringLiteral("Finished"));
    }
}

int Widget::extractProgressValue(const QString &output)
{
    return firstPercentage(output);
}

void Widget::handleJobFinished(QProcess *process, const QString &devicePort, int exitCode, int exitStatus)
{
    if (processMap.value(devicePort) != process)
        return;
    // A tool that Velmora killed while its job is still registered was
    // stopped, or its board vanished: the stop or removal handler connected
    // for that ends the job. Its end is no success of the tool, whatever row
    // now shows the board.
    if (static_cast<ToolProcess *>(process)->killedByUs())
        return;
    // An end that Velmora did not cause, without the completion marker, is a
    // failure unless the tool says it succeeded.
    if (exitStatus == QProcess::CrashExit || exitCode != 0) {
        failJob(process, devicePort,
                exitStatus == QProcess::CrashExit
                    ? QStringLiteral("the flashing tool crashed")
                    : QStringLiteral("the flashing tool exited with code %1").arg(exitCode));
        return;
    }
    // Exit code 0 alone proves nothing (a usage text ends with it): the
    // output must show the flash complete.
    const JobProgress progress = jobProgress.value(devicePort);
    if (!progress.markerPrinted && progress.lastPercent != 100) {
        failJob(process, devicePort,
                progress.lastPercent < 0
                    ? QStringLiteral("the flashing tool exited with code 0 without showing any progress")
                    : QStringLiteral("the flashing tool exited with code 0 at %1% without completing")
                          .arg(progress.lastPercent));
        return;
    }
    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    deviceRowWidgets(devicePort, &statusLabel, &actionButton);
    finishJob(devicePort, statusLabel, actionButton, QStringLiteral("Finished"));
}

void Widget::failJob(QProcess *process, const QString &devicePort, const QString &reason)
{
    qDebug().noquote() << devicePort + QStringLiteral(" 出现异常, 停止该任务.");
    if (!reason.isEmpty())
        qDebug().noquote() << QStringLiteral("Device %1: %2").arg(devicePort, reason);
    failedDevices.insert(devicePort);

    QLabel *statusLabel = nullptr;
    QPushButton *actionButton = nullptr;
    deviceRowWidgets(devicePort, &statusLabel, &actionButton);
    if (statusLabel) {
        statusLabel->setText(QStringLiteral("Failed"));
        statusLabel->setStyleSheet(QStringLiteral("color: red;"));
    }
    if (QTextStream *stream = logStreamMap.value(devicePort)) {
        const QByteArray trailer = "[Process Failed Detected]\n";
        *stream << trailer;
        stream->flush();
        if (stream->status() != QTextStream::Ok)
            reportLogWriteFailure(devicePort, logFileMap.value(devicePort), -1, trailer.size());
    }
    if (process)
        static_cast<ToolProcess *>(process)->killChild();
    finishJob(devicePort, statusLabel, actionButton, QStringLiteral("Failed"));
    updateDeviceCountLineEdit();
}

void Widget::reportLogFailure(const QString &devicePort, const QString &reason)
{
    if (logFailureReported.contains(devicePort))
        return;
    logFailureReported.insert(devicePort);
    qDebug().noquote() << QStringLiteral("Device %1: %2").arg(devicePort, reason);
}

void Widget::reportLogWriteFailure(const QString &devicePort, QFile *logFile, qint64 written, qint64 size)
{
    // A write that stops short sets no error of the file: the failure of the
    // rest would show only on the next write.
    const bool failed = logFile && logFile->error() != QFileDevice::NoError;
    const QString reason = failed
                               ? logFile->errorString()
                               : QStringLiteral("only %1 of %2 bytes written").arg(qMax<qint64>(written, 0)).arg(size);
    reportLogFailure(devicePort, QStringLiteral("cannot write log %1: %2").arg(logFileNameForPort(devicePort), reason));
    if (logFile)
        logFile->unsetError();
}

void Widget::finishJob(const QString &devicePort, QLabel *statusLabel, QAbstractButton *actionButton,
                       const QString &statusText)
{
    if (statusLabel)
        statusLabel->setText(statusText);
    if (actionButton)
        actionButton->setText(QStringLiteral("Run"));
    delete logStreamMap.take(devicePort);
    if (QFile *logFile = logFileMap.take(devicePort)) {
        logFile->close();
        delete logFile;
    }
    if (QProcess *process = processMap.value(devicePort)) {
        processMap.remove(devicePort);
        releaseProcess(process);
    }
    awaitingOkayMap.remove(devicePort);
    outputCarry.remove(devicePort);
    logFailureReported.remove(devicePort);
    jobProgress.remove(devicePort);
    releaseJobScript(devicePort);
    updateButtonStates();
}

void Widget::releaseProcess(QProcess *process)
{
    auto *tool = static_cast<ToolProcess *>(process);
    if (tool->state() == QProcess::NotRunning) {
        // Its end has been signalled (a stop handler may still follow in the
        // same emission, which deleteLater waits for). A wrapper's child may
        // still run in its group.
        tool->endGroup();
        tool->deleteLater();
        return;
    }
    // Released before its end: no stop may be shown for it any more. It is
    // killed without waiting and deleted once the toolkit has reaped it.
    tool->setProperty(StopPendingProperty, false);
    if (tool->killChild()) {
        connect(tool, processFinished, tool, &QObject::deleteLater);
    } else {
        tool->markNotRunning();
        tool->deleteLater();
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
