#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/listingparser.h"
#include "discovery/toolprocess.h"

#include <QComboBox>
#include <QDebug>
#include <QLabel>
#include <QPointer>

void Widget::rescanDevices()
{
    QTableWidget *table = ui->tableWidget;
    QMap<QString, QString> previousStatuses;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (const QLabel *label = statusLabelAt(row))
            previousStatuses.insert(portAt(row), label->text());
    }

    QVector<ListedDevice> devices;
    if (!listBoards(&devices))
        return;
    applyListing(devices, previousStatuses);
}

void Widget::applyListing(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses)
{
    // The mode the operator chose for a port stays chosen; the first row of
    // a port is the one its job is started with.
    QMap<QString, QString> modes;
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        const QComboBox *mode = modeComboAt(row);
        if (mode && !modes.contains(portAt(row)))
            modes.insert(portAt(row), mode->currentText());
    }
    rebuildDeviceRows(devices, statuses, modes);

    for (auto it = statuses.cbegin(); it != statuses.cend(); ++it) {
        const QString &devicePort = it.key();
        if (findRowByPath(devicePort) >= 0 || it.value() != QLatin1String("Running"))
            continue;
        appendLostJobRow(devicePort);
        qDebug() << "Target Will Kill uuu.exe";
        QProcess *process = processMap.value(devicePort);
        if (process && process->state() == QProcess::Running) {
            QPointer<QProcess> guard(process);
            connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                    [this, devicePort, guard] {
                        // Only a job that is still this process's may be ended.
                        if (guard && processMap.value(devicePort) == guard)
                            finishJob(devicePort, nullptr, nullptr, QStringLiteral("Stopped"));
                        else
                            updateButtonStates();
                    });
            static_cast<ToolProcess *>(process)->killChild();
        } else {
            finishJob(devicePort, nullptr, nullptr, QStringLiteral("Stopped"));
        }
    }

    updateButtonStates();
}
